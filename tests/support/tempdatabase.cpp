#include "tempdatabase.h"

#include "sqlfixture.h"

#include <QFile>

namespace {

SetUpConnection sqliteFile(const QString &path)
{
    return [path](QSqlDatabase &db) {
        db.setDatabaseName(path);
        // The program may be writing at the same moment.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    };
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

void TempDatabase::exec(const QString &statements) const
{
    execSql(QStringLiteral("QSQLITE"), sqliteFile(path()), statements);
}

QList<QVariantList> TempDatabase::rows(const QString &query) const
{
    return sqlRows(QStringLiteral("QSQLITE"), sqliteFile(path()), query);
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
