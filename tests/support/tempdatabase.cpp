#include "tempdatabase.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace {

template <typename Work> void withConnection(const QString &path, Work work)
{
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        // The program may be writing at the same moment.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open()) {
            qFatal("fixture cannot open %s: %s", qPrintable(path),
                   qPrintable(db.lastError().text()));
        }
        work(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

QSqlQuery run(QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement)) {
        qFatal("fixture statement failed: %s: %s", qPrintable(statement),
               qPrintable(query.lastError().text()));
    }
    return query;
}

} // namespace

TempDatabase::TempDatabase(bool withSchema)
{
    if (!m_dir.isValid()) {
        qFatal("no temporary folder");
    }
    if (withSchema) {
        QFile schema(QStringLiteral(PELVARO_SCHEMA_SQL));
        if (!schema.open(QIODevice::ReadOnly)) {
            qFatal("cannot read %s", PELVARO_SCHEMA_SQL);
        }
        exec(QString::fromUtf8(schema.readAll()));
    }
}

QString TempDatabase::path() const
{
    return m_dir.filePath(QStringLiteral("Messwerte.mdb"));
}

QString TempDatabase::folder() const
{
    return m_dir.path();
}

void TempDatabase::exec(const QString &statements) const
{
    // One statement per query; the fixtures' SQL has no ';' inside literals or trigger bodies.
    QString withoutComments;
    for (const QString &line : statements.split(QLatin1Char('\n'))) {
        if (!line.trimmed().startsWith(QLatin1String("--"))) {
            withoutComments += line + QLatin1Char('\n');
        }
    }
    withConnection(path(), [&](QSqlDatabase &db) {
        for (const QString &statement : withoutComments.split(QLatin1Char(';'))) {
            if (!statement.trimmed().isEmpty()) {
                run(db, statement);
            }
        }
    });
}

QList<QVariantList> TempDatabase::rows(const QString &queryText) const
{
    QList<QVariantList> result;
    withConnection(path(), [&](QSqlDatabase &db) {
        QSqlQuery query = run(db, queryText);
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

QStringList storedValues(const TempDatabase &database)
{
    QStringList values;
    for (const QVariantList &row :
         database.rows(QStringLiteral("SELECT SensorNummer, MessWert FROM Werte ORDER BY rowid"))) {
        values << row.at(0).toString() + QLatin1Char('=')
                      + QString::number(row.at(1).toDouble(), 'g', 17);
    }
    return values;
}
