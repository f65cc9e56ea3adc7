#include "database.h"

#include "recordset.h"
#include "runtime/runtimeerror.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

// The engine's own words ("database is locked"), without Qt's note on which call failed.
QString reason(const QSqlError &error)
{
    const QString text = error.databaseText().trimmed();
    return text.isEmpty() ? error.text().trimmed() : text;
}

} // namespace

Database::Database(QString connectionName, QString path)
    : m_connectionName(std::move(connectionName)), m_path(std::move(path))
{
}

Database::~Database()
{
    if (m_open) {
        QSqlDatabase::database(m_connectionName, false).close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

std::unique_ptr<Recordset> Database::OpenRecordset(const QString &table)
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    const QString name = db.driver()->escapeIdentifier(table, QSqlDriver::TableName);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // Insertion order, so that device numbers stay the same from run to run; a view has no rowid
    // and is read in whatever order SQLite yields.
    if (!query.exec(QStringLiteral("SELECT * FROM %1 ORDER BY rowid").arg(name))
        && !query.exec(QStringLiteral("SELECT * FROM %1").arg(name))) {
        const QString driverText = query.lastError().text();
        if (driverText.contains(QLatin1String("no such table"), Qt::CaseInsensitive)) {
            throw RuntimeError(
                ErrorNumber::TableNotFound,
                QStringLiteral("Die Tabelle '%1' fehlt in der Datenbank '%2'.").arg(table, m_path));
        }
        throw RuntimeError(ErrorNumber::DiskOrNetworkError,
                           QStringLiteral("Die Tabelle '%1' der Datenbank '%2' kann nicht gelesen "
                                          "werden: %3")
                               .arg(table, m_path, driverText));
    }
    return std::make_unique<Recordset>(std::move(query), table, m_path);
}

void Database::Execute(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    if (!query.exec(statement)) {
        throw RuntimeError(ErrorNumber::StatementFailed,
                           QStringLiteral("Schreiben in die Datenbank '%1' fehlgeschlagen: %2 "
                                          "(Anweisung: %3)")
                               .arg(m_path, query.lastError().text(), statement));
    }
}

QString Database::executeInTransaction(qsizetype count,
                                       const std::function<QString(qsizetype)> &statement)
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (!db.transaction()) {
        return reason(db.lastError());
    }
    QString failure;
    {
        QSqlQuery query(db);
        for (qsizetype i = 0; i < count && failure.isEmpty(); ++i) {
            if (!query.exec(statement(i))) {
                failure = reason(query.lastError());
            }
        }
    }
    if (failure.isEmpty() && db.commit()) {
        return {};
    }
    if (failure.isEmpty()) {
        // A commit that could not get its lock leaves the transaction open.
        failure = reason(db.lastError());
    }
    db.rollback();
    return failure.isEmpty() ? QStringLiteral("unbekannter Fehler") : failure;
}

QStringList Database::columnNames(const QString &table)
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    const QString name = db.driver()->escapeIdentifier(table, QSqlDriver::TableName);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT * FROM %1 WHERE 1 = 0").arg(name))) {
        const QString driverText = query.lastError().text();
        if (driverText.contains(QLatin1String("no such table"), Qt::CaseInsensitive)) {
            throw RuntimeError(
                ErrorNumber::TableNotFound,
                QStringLiteral("Die Tabelle '%1' fehlt in der Datenbank '%2'.").arg(table, m_path));
        }
        throw RuntimeError(ErrorNumber::DiskOrNetworkError,
                           QStringLiteral("Die Tabelle '%1' der Datenbank '%2' kann nicht gelesen "
                                          "werden: %3")
                               .arg(table, m_path, driverText));
    }
    QStringList names;
    const QSqlRecord record = query.record();
    for (int i = 0; i < record.count(); ++i) {
        names << record.fieldName(i);
    }
    return names;
}

void Database::Close()
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    db.close();
    m_open = false;
    const QSqlError error = db.driver()->lastError();
    if (error.isValid() && error.type() != QSqlError::NoError) {
        throw RuntimeError(ErrorNumber::CloseFailed,
                           QStringLiteral("Die Datenbank '%1' konnte nicht geschlossen werden: %2")
                               .arg(m_path, error.text()));
    }
}
