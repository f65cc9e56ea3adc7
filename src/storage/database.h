#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class DbBackend;
class QSqlDatabase;
class QSqlError;
class Recordset;

// An open database: an SQLite file, a PostgreSQL server or an ODBC source. Table and column names
// match without regard to case. Every failure is a RuntimeError that names the database and
// carries the driver's own text. A Database belongs to the thread that opened it.
class Database
{
public:
    enum class Access {
        ReadWrite,
        // For readers beside the program's own connection (the status page's charts): never
        // writes, and an SQLite file need not be writable.
        ReadOnly,
    };

    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // All rows of the table, in an order that stays the same from run to run: for an SQLite file
    // the order of insertion (rowid), on a server the column Reihenfolge (see DbBackend). table
    // is one of the program's own plain identifiers. A table that does not exist is an error.
    std::unique_ptr<Recordset> OpenRecordset(const QString &table);

    // Runs one statement with the driver's defaults (each statement its own transaction).
    void Execute(const QString &statement);

    // A statement the database refused for a reason of its own (a constraint, a value out of
    // range, a trigger), by its index, with the database's text.
    struct Refusal
    {
        qsizetype index;
        QString reason;
    };

    // Runs statement(0) .. statement(count - 1) as one transaction: all of them land, or none.
    // Returns the empty text, or the database's own text for the failure after rolling back.
    // Statements are made one at a time, so a long backlog never sits in memory as text twice.
    //
    // With refusals given, statements that the database refuses for a reason of their own do not
    // hold back the others: they run in parts under a savepoint each, and a refused statement is
    // rolled back with its part and left out when the part's other statements run again; the
    // refused ones are listed in *refusals once the rest has been committed. A failure of the
    // whole (a lock, a connection gone, a missing table, a full disk) still rolls everything back
    // and leaves *refusals empty. A driver without savepoints gets the whole as one, refusals or
    // not.
    //
    // beforeCommit, when given, runs once every statement has, inside the transaction and with
    // the refusals known: a text it returns fails the whole as above. *atCommit tells that the
    // failure came from the commit itself, after which a server may or may not have committed
    // (the connection broke while it answered).
    QString executeInTransaction(qsizetype count,
                                 const std::function<QString(qsizetype)> &statement,
                                 QList<Refusal> *refusals = nullptr,
                                 const std::function<QString()> &beforeCommit = {},
                                 bool *atCommit = nullptr);

    // The columns of a table, read from a query that yields no row. A table that does not exist
    // is an error with the same text as for OpenRecordset.
    QStringList columnNames(const QString &table);

    // Makes a broken connection usable again, for a store that follows a failed one: when a
    // trivial query fails (the server restarted, the network dropped), the connection is closed
    // and opened anew with the same settings. True when the database answers now; false leaves
    // it for the next try, with the reason (one line) in *failure if given. Never throws. For an
    // SQLite file the query never fails, so nothing is reopened.
    bool reconnect(QString *failure = nullptr);

    // How long a statement waits for another program's lock before it fails: 5 s while starting
    // (the database's default), 100 ms once the program runs, so that a lock defers a store and
    // "Ende", a signal and the countdown are answered within a fraction of a second, and shorter
    // still for the last try at the end. Kept over a reconnect.
    static constexpr int kRunningLockWaitMs = 100;
    static constexpr int kLastTryLockWaitMs = 20;
    // The database's text when the wait could not be set (the connection is gone, say), else
    // the empty text.
    QString waitForLocks(int ms);
    // Start-up is over: waitForLocks(kRunningLockWaitMs). Not being able to set it is a
    // RuntimeError: a store could then hold up the program for seconds.
    void started();

    // Closes the database. No recordset of this database may still be open.
    void Close();

    // The database as messages name it: the file path, or the URI or ODBC text as given.
    QString path() const { return m_path; }
    // The Qt SQL connection, for readers that run their own queries; only on the opening thread.
    QSqlDatabase connection() const;

private:
    friend std::unique_ptr<Database> OpenDatabase(const QString &name, Access access);
    explicit Database(std::unique_ptr<DbBackend> backend);
    // The error for a table that could not be read: missing, or unreadable with the driver's text.
    [[noreturn]] void throwReadFailure(const QSqlError &error, const QString &table) const;
    // The statements of executeInTransaction inside its transaction; the failure of the whole,
    // if any. *noSavepoints tells that the driver refused a savepoint.
    QString executeStatements(QSqlDatabase &db, qsizetype count,
                              const std::function<QString(qsizetype)> &statement,
                              QList<Refusal> *refusals, bool *noSavepoints);

    QString m_connectionName;
    std::unique_ptr<DbBackend> m_backend;
    QString m_path;
    bool m_open = true;
    int m_lockWaitMs = 0;
    bool m_savepoints = true;
};

// Opens the database that name gives: the path of an existing SQLite file (shared, never
// created), a PostgreSQL URI or an ODBC source (see DbBackend). Every failure is a RuntimeError
// that names the file, server or data source and never shows a password.
std::unique_ptr<Database> OpenDatabase(const QString &name,
                                       Database::Access access = Database::Access::ReadWrite);
