#include "serverschema.h"

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace {

template <typename Work> void withConnection(const QString &schema, Work work)
{
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setConnectOptions(
            QStringLiteral("host='%1' dbname=pelvaro user=pelvaro "
                           "options='-csearch_path=%2 -cclient_min_messages=warning'")
                .arg(ServerSchema::socketFolder(), schema));
        if (!db.open()) {
            qFatal("fixture cannot reach the test server in %s: %s",
                   qPrintable(ServerSchema::socketFolder()), qPrintable(db.lastError().text()));
        }
        work(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

void runScript(const char *command)
{
    const int status =
        QProcess::execute(qEnvironmentVariable("PELVARO_PGSERVER"),
                          {QString::fromLatin1(command), ServerSchema::socketFolder()});
    if (status != 0) {
        qFatal("pgserver.sh %s failed (%d)", command, status);
    }
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

QString ServerSchema::uri(const QString &more) const
{
    const QString path = more.isEmpty() ? m_name : m_name + QLatin1Char(',') + more;
    // "=" inside a parameter's value is written %3D in libpq's URIs.
    return QStringLiteral("postgresql://pelvaro@/pelvaro?host=") + socketFolder()
           + QStringLiteral("&options=-csearch_path%3D") + path;
}

void ServerSchema::exec(const QString &statements) const
{
    withConnection(m_name, [&](QSqlDatabase &db) {
        QString withoutComments;
        for (const QString &line : statements.split(QLatin1Char('\n'))) {
            if (!line.trimmed().startsWith(QLatin1String("--"))) {
                withoutComments += line + QLatin1Char('\n');
            }
        }
        // The fixtures' SQL has no ';' inside literals.
        for (const QString &statement : withoutComments.split(QLatin1Char(';'))) {
            if (statement.trimmed().isEmpty()) {
                continue;
            }
            QSqlQuery query(db);
            if (!query.exec(statement)) {
                qFatal("fixture statement failed: %s: %s", qPrintable(statement),
                       qPrintable(query.lastError().text()));
            }
        }
    });
}

QList<QVariantList> ServerSchema::rows(const QString &queryText) const
{
    QList<QVariantList> result;
    withConnection(m_name, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (!query.exec(queryText)) {
            qFatal("fixture query failed: %s: %s", qPrintable(queryText),
                   qPrintable(query.lastError().text()));
        }
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i) {
                row << query.value(i);
            }
            result << row;
        }
    });
    return result;
}

QString ServerSchema::socketFolder()
{
    const QString folder = qEnvironmentVariable("PELVARO_PGDIR");
    if (folder.isEmpty()) {
        qFatal("PELVARO_PGDIR is not set: run this test through ctest, which starts the server");
    }
    return folder;
}

void ServerSchema::pauseServer()
{
    runScript("pause");
}

void ServerSchema::resumeServer()
{
    runScript("resume");
}
