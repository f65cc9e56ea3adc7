#include "database.h"

#include "dbbackend.h"
#include "recordset.h"
#include "runtime/runtimeerror.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

// The engine's own words ("database is locked"), without Qt's note on which call failed, on one
// line (libpq's texts span several). A connection that is gone may fail without any text at all;
// that must never pass for success.
QString reason(const QSqlError &error)
{
    QString text = error.databaseText().simplified();
    if (text.isEmpty()) {
        text = error.text().simplified();
    }
    return text.isEmpty() ? QStringLiteral("keine Verbindung zur Datenbank") : text;
}

} // namespace

Database::Database(std::unique_ptr<DbBackend> backend)
    : m_connectionName(QStringLiteral("pelvaro-%1").arg(reinterpret_cast<quintptr>(this), 0, 16)),
      m_backend(std::move(backend)), m_path(m_backend->name())
{
}

std::unique_ptr<Database> OpenDatabase(const QString &name, Database::Access access)
{
    // The connection is named after the object, unique while it lives.
    std::unique_ptr<Database> database(
        new Database(DbBackend::forName(name, access == Database::Access::ReadOnly)));
    database->m_backend->open(database->m_connectionName);
    return database;
}

QSqlDatabase Database::connection() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

Database::~Database()
{
    if (m_open && QSqlDatabase::contains(m_connectionName)) {
        QSqlDatabase::database(m_connectionName, false).close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

std::unique_ptr<Recordset> Database::OpenRecordset(const QString &table)
{
    const QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // Unquoted, so that a server that folds unquoted names (PostgreSQL, to lower case) finds the
    // tables its schema file created without quotes.
    const QString all = QStringLiteral("SELECT * FROM %1").arg(table);
    const QString order = m_backend->orderColumn();
    if (query.exec(all + QStringLiteral(" ORDER BY ") + order)) {
        return std::make_unique<Recordset>(std::move(query), table, m_path);
    }
    if (!query.exec(all)) {
        throwReadFailure(query.lastError(), table);
    }
    if (m_backend->orderRequired()) {
        throw RuntimeError(ErrorNumber::ItemNotFound,
                           QStringLiteral("Die Spalte '%1' fehlt in der Tabelle '%2' der Datenbank "
                                          "'%3'. Auf einem Datenbankserver legt sie die "
                                          "Reihenfolge der Zeilen fest (siehe "
                                          "schema-postgresql.sql).")
                               .arg(order, table, m_path));
    }
    // A view has no rowid, and an ODBC table may lack the column: the driver's order then.
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
                                       const std::function<QString(qsizetype)> &statement,
                                       QList<Refusal> *refusals,
                                       const std::function<QString()> &beforeCommit, bool *atCommit)
{
    QSqlDatabase db = connection();
    if (refusals != nullptr) {
        refusals->clear();
    }
    if (atCommit != nullptr) {
        *atCommit = false;
    }
    if (!db.transaction()) {
        return reason(db.lastError());
    }
    bool noSavepoints = false;
    QString failure = executeStatements(db, count, statement, refusals, &noSavepoints);
    if (failure.isEmpty() && beforeCommit) {
        failure = beforeCommit();
    }
    if (failure.isEmpty() && db.commit()) {
        return {};
    }
    if (failure.isEmpty()) {
        // A commit that could not get its lock leaves the transaction open.
        failure = reason(db.lastError());
        if (atCommit != nullptr) {
            *atCommit = true;
        }
    }
    db.rollback();
    if (refusals != nullptr) {
        refusals->clear();
    }
    if (noSavepoints) {
        // A driver without savepoints (Access through ODBC, say): the store as a whole, as
        // without refusals, and so from now on.
        m_savepoints = false;
        return executeInTransaction(count, statement, refusals, beforeCommit, atCommit);
    }
    return failure;
}

QString Database::executeStatements(QSqlDatabase &db, qsizetype count,
                                    const std::function<QString(qsizetype)> &statement,
                                    QList<Refusal> *refusals, bool *noSavepoints)
{
    // Rows are written in parts under a savepoint each. A row the database refuses rolls its
    // part back; the part's rows before it go in again, and the next part begins after it. So
    // the usual store costs one savepoint, and a refusal the rows of one part at most.
    constexpr qsizetype kPartRows = 1000;
    QSqlQuery query(db);
    const auto run = [&query](const char *sql) {
        return query.exec(QString::fromLatin1(sql));
    };
    const bool isolate = refusals != nullptr && m_savepoints;
    qsizetype partBegin = -1;
    for (qsizetype i = 0; i < count; ++i) {
        if (isolate && partBegin < 0) {
            if (!run("SAVEPOINT pelvaro")) {
                *noSavepoints = true;
                return reason(query.lastError());
            }
            partBegin = i;
        }
        if (query.exec(statement(i))) {
            if (isolate && i + 1 - partBegin >= kPartRows) {
                if (!run("RELEASE SAVEPOINT pelvaro")) {
                    return reason(query.lastError());
                }
                partBegin = -1;
            }
            continue;
        }
        const QSqlError error = query.lastError();
        if (!isolate || !m_backend->refusesRow(error)) {
            return reason(error);
        }
        refusals->append(Refusal{i, reason(error)});
        if (!run("ROLLBACK TO SAVEPOINT pelvaro")) {
            return reason(query.lastError());
        }
        for (qsizetype j = partBegin; j < i; ++j) {
            if (!query.exec(statement(j))) {
                return reason(query.lastError());
            }
        }
        if (!run("RELEASE SAVEPOINT pelvaro")) {
            return reason(query.lastError());
        }
        partBegin = -1;
    }
    if (isolate && partBegin >= 0 && !run("RELEASE SAVEPOINT pelvaro")) {
        return reason(query.lastError());
    }
    return {};
}

QStringList Database::columnNames(const QString &table)
{
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    // Unquoted, as in OpenRecordset.
    if (!query.exec(QStringLiteral("SELECT * FROM %1 WHERE 1 = 0").arg(table))) {
        throwReadFailure(query.lastError(), table);
    }
    QStringList names;
    const QSqlRecord record = query.record();
    for (int i = 0; i < record.count(); ++i) {
        names << record.fieldName(i);
    }
    return names;
}

bool Database::reconnect(QString *failure)
{
    {
        const QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (db.isOpen()) {
            QSqlQuery probe(db);
            if (probe.exec(QStringLiteral("SELECT 1"))) {
                return true;
            }
        }
    }
    // A fresh connection rather than the old one reopened: the old driver would go on reporting
    // the failure that broke it. One that cannot connect yet stays registered, closed, so that
    // the next store fails with the server's reason rather than a missing connection.
    QSqlDatabase::database(m_connectionName, false).close();
    QSqlDatabase::removeDatabase(m_connectionName);
    QString reason;
    try {
        if (m_backend->connect(m_connectionName, &reason)) {
            QSqlDatabase db = connection();
            reason = m_lockWaitMs > 0 ? m_backend->waitForLocks(db, m_lockWaitMs) : QString();
            if (reason.isEmpty()) {
                return true;
            }
        }
    } catch (const RuntimeError &error) {
        reason = error.description();
    }
    if (failure) {
        *failure = reason;
    }
    return false;
}

void Database::Close()
{
    m_open = false;
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    // A connection that broke or never came back has nothing left to close; its last error is
    // the one that broke it, not one of closing.
    const bool wasOpen = db.isOpen();
    // The driver keeps its last error, which may be an earlier store's (a rollback after a full
    // disk, say); only a new one is a failure to close.
    const QSqlError before = db.driver() != nullptr ? db.driver()->lastError() : QSqlError();
    db.close();
    if (!wasOpen) {
        return;
    }
    const QSqlError error = db.driver()->lastError();
    if (error.isValid() && error.type() != QSqlError::NoError && error != before) {
        throw RuntimeError(ErrorNumber::CloseFailed,
                           QStringLiteral("Die Datenbank '%1' konnte nicht geschlossen werden: %2")
                               .arg(m_path, error.text()));
    }
}

void Database::throwReadFailure(const QSqlError &error, const QString &table) const
{
    if (m_backend->isMissingTable(error, QSqlDatabase::database(m_connectionName, false), table)) {
        throw RuntimeError(
            ErrorNumber::TableNotFound,
            QStringLiteral("Die Tabelle '%1' fehlt in der Datenbank '%2'.").arg(table, m_path));
    }
    throw RuntimeError(ErrorNumber::DiskOrNetworkError,
                       QStringLiteral("Die Tabelle '%1' der Datenbank '%2' kann nicht gelesen "
                                      "werden: %3")
                           .arg(table, m_path, error.text()));
}

QString Database::waitForLocks(int ms)
{
    m_lockWaitMs = ms;
    QSqlDatabase db = connection();
    return m_backend->waitForLocks(db, ms);
}

void Database::started()
{
    const QString failure = waitForLocks(kRunningLockWaitMs);
    if (!failure.isEmpty()) {
        throw RuntimeError(ErrorNumber::StatementFailed,
                           QStringLiteral("In der Datenbank '%1' lässt sich die Wartezeit auf "
                                          "Sperren nicht einstellen: %2")
                               .arg(m_path, failure));
    }
}
