#include "serverschema.h"

#include <QProcess>
#include <QUuid>

ServerSchema::ServerSchema()
    : SqlFixture(QStringLiteral("QPSQL"),
                 [this](QSqlDatabase &db) {
                     db.setConnectOptions(QStringLiteral("host='%1' dbname=pelvaro user=pelvaro "
                                                         "options='-csearch_path=%2 "
                                                         "-cclient_min_messages=warning'")
                                              .arg(socketFolder(), m_name));
                 }),
      m_name(QStringLiteral("t_") + QUuid::createUuid().toString(QUuid::Id128).left(12))
{
    exec(QStringLiteral("CREATE SCHEMA ") + m_name);
    exec(fileText(QStringLiteral(PELVARO_SCHEMA_POSTGRESQL)));
}

ServerSchema::~ServerSchema()
{
    exec(QStringLiteral("DROP SCHEMA %1 CASCADE").arg(m_name));
}

QString ServerSchema::socketFolder()
{
    const QString folder = qEnvironmentVariable("PELVARO_PGDIR");
    if (folder.isEmpty()) {
        qFatal("PELVARO_PGDIR is not set: run this test through ctest, which starts the server");
    }
    return folder;
}

void ServerSchema::serverScript(const char *command)
{
    const int status = QProcess::execute(qEnvironmentVariable("PELVARO_PGSERVER"),
                                         {QString::fromLatin1(command), socketFolder()});
    if (status != 0) {
        qFatal("pgserver.sh %s failed (%d)", command, status);
    }
}
