#pragma once

#include <QString>

#include <memory>

class QSqlDatabase;
class QSqlError;
class RuntimeError;

// What differs from one database engine to the next: how a connection is opened, in which order a
// table's rows are read, and how a driver says that a table is missing. Everything else goes
// through Qt SQL alike for all of them.
//
// The engine follows from the form of the name given with --database:
//   postgresql://... or postgres://...   a PostgreSQL server, in libpq's URI form (QPSQL)
//   odbc:DSN or odbc:KEY=VALUE;...       an ODBC data source or connection string (QODBC)
//   anything else                        the path of an SQLite file (QSQLITE)
// A password in the name is refused: it would be visible to every user of the machine.
class DbBackend
{
public:
    // Throws a RuntimeError when the name is malformed or carries a password. A read-only backend
    // opens connections that never write (see Database::Access::ReadOnly).
    static std::unique_ptr<DbBackend> forName(const QString &name, bool readOnly = false);
    // Whether the name is an SQLite file path rather than a server or an ODBC source.
    static bool namesFile(const QString &name);

    virtual ~DbBackend();
    DbBackend(const DbBackend &) = delete;
    DbBackend &operator=(const DbBackend &) = delete;

    // The database as messages name it: the file path, URI or ODBC text as given (never holding
    // a password).
    QString name() const { return m_name; }

    // Registers and opens the connection connectionName. A failure is a RuntimeError that names
    // the database and carries the driver's text; the connection is then removed again.
    void open(const QString &connectionName) const;
    // The same, but a connection that cannot be opened stays registered, closed, with the
    // driver's text as its last error, and the text (one line) goes to *failure. What fails
    // before any connection (a missing file or driver) still throws.
    bool connect(const QString &connectionName, QString *failure) const;

    // Rows are read ordered by this column, so that device and sensor positions stay the same
    // from run to run. Without orderRequired() a table that lacks it is read in the driver's own
    // order; with it, such a table is an error.
    QString orderColumn() const { return m_orderColumn; }
    bool readOnly() const { return m_readOnly; }
    bool orderRequired() const { return m_orderRequired; }

    // How long a statement of this connection waits for a lock another program holds. The
    // driver's text when it could not be set, else the empty text.
    virtual QString waitForLocks(QSqlDatabase &db, int ms) const
    {
        Q_UNUSED(db)
        Q_UNUSED(ms)
        return QString();
    }

    // Whether the database refused the row of an INSERT for a reason of that row (a constraint, a
    // value out of range, a trigger) rather than failing as a whole (a lock, a connection gone, a
    // missing table, a full disk). By default the SQLSTATE classes 22 (data exception) and 23
    // (integrity constraint, also PostgreSQL's missing partition) and P0001 (raised by a trigger).
    virtual bool refusesRow(const QSqlError &error) const;

    // Whether a SELECT on table failed with error because the table does not exist.
    virtual bool isMissingTable(const QSqlError &error, const QSqlDatabase &db,
                                const QString &table) const = 0;

protected:
    DbBackend(QString name, QString driver, QString driverPackage, QString orderColumn,
              bool orderRequired);

    // Before any connection: checks what can fail without one (the file, say). Throws.
    virtual void check() const {}
    // Database name and connect options of the new connection.
    virtual void configure(QSqlDatabase &db) const = 0;
    // After a successful open: the first use that can still reveal a bad database, or an empty
    // text when there is nothing to check.
    virtual QString verify(QSqlDatabase &db) const;
    // The error for a connection that could not be opened.
    virtual RuntimeError openFailure(const QString &driverText) const = 0;

private:
    QString m_name;
    QString m_driver;
    QString m_driverPackage;
    QString m_orderColumn;
    bool m_orderRequired;
    bool m_readOnly = false;
};
