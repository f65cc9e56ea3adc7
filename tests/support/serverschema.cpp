#include "serverschema.h"

#include "sqlfixture.h"

#include <QFile>
#include <QProcess>
#include <QUuid>

namespace {

SetUpConnection inSchema(const QString &schema)
{
    return [schema](QSqlDatabase &db) {
        db.setConnectOptions(
            QStringLiteral("host='%1' dbname=pelvaro user=pelvaro "
                           "options='-csearch_path=%2 -cclient_min_messages=warning'")
                .arg(ServerSchema::socketFolder(), schema));
    };
}

} // namespace

ServerSchema::ServerSchema()
    : m_name(QStringLiteral("t_") + QUuid::createUuid().toString(QUuid::Id128).left(12))
{
    exec(QStringLiteral("CREATE SCHEMA ") + m_name);
    QFile schema(QStringLiteral(PELVARO_SCHEMA_POSTGRESQL));
    if (!schema.open(QIODevice::ReadOnly)) {
        qFatal("cannot read %s", PELVARO_SCHEMA_POSTGRESQL);
    }
    exec(QString::fromUtf8(schema.readAll()));
}

ServerSchema::~ServerSchema()
{
    exec(QStringLiteral("DROP SCHEMA %1 CASCADE").arg(m_name));
}

QString ServerSchema::uri() const
{
    // "=" inside a parameter's value is written %3D in libpq's URIs.
    return QStringLiteral("postgresql://pelvaro@/pelvaro?host=") + socketFolder()
           + QStringLiteral("&options=-csearch_path%3D") + m_name;
}

void ServerSchema::exec(const QString &statements) const
{
    execSql(QStringLiteral("QPSQL"), inSchema(m_name), statements);
}

QList<QVariantList> ServerSchema::rows(const QString &query) const
{
    return sqlRows(QStringLiteral("QPSQL"), inSchema(m_name), query);
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
    const int status =
        QProcess::execute(qEnvironmentVariable("PELVARO_PGSERVER"),
                          {QString::fromLatin1(command), ServerSchema::socketFolder()});
    if (status != 0) {
        qFatal("pgserver.sh %s failed (%d)", command, status);
    }
}
