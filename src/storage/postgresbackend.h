#pragma once

#include "dbbackend.h"

// A PostgreSQL server, named by a URI in libpq's form:
//   postgresql://[user@][host][:port][,host2[:port2]...][/dbname][?param=value&...]
// with a socket folder as ?host=/run/postgresql (or a host written %2Frun%2Fpostgresql) and a
// schema as ?options=-csearch_path%3Dnord. Percent escapes are decoded as libpq does; every query
// parameter goes to libpq, which rejects the ones it does not know. The password comes from
// libpq's own sources (~/.pgpass, PGPASSFILE, PGPASSWORD), never from the URI.
//
// Rows are read ordered by the column Reihenfolge, which a table read by the program must have:
// a server keeps no insertion order, and an UPDATE moves a row to the end of a plain SELECT.
class PostgresBackend : public DbBackend
{
public:
    // Throws a RuntimeError for a malformed URI or one that holds a password.
    explicit PostgresBackend(const QString &uri);

    bool isMissingTable(const QSqlError &error, const QSqlDatabase &db,
                        const QString &table) const override;
    // A lock held by another session (an ALTER TABLE, a VACUUM FULL) is waited for as briefly as
    // SQLite's (lock_timeout): a store gives way, its rows wait, the program stays responsive.
    QString waitForLocks(QSqlDatabase &db, int ms) const override;

    // The URI as libpq keyword=value pairs, as the driver takes them in its connect options.
    QString connectOptions() const { return m_connectOptions; }

protected:
    void configure(QSqlDatabase &db) const override;
    RuntimeError openFailure(const QString &driverText) const override;

private:
    QString m_connectOptions;
};
