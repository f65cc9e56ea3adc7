#pragma once

#include "dbbackend.h"

// An SQLite file, opened shared and read-write and never created. Rows come in insertion (rowid)
// order; a view, which has none, in whatever order SQLite yields.
class SqliteBackend : public DbBackend
{
public:
    explicit SqliteBackend(const QString &path);

    bool isMissingTable(const QSqlError &error, const QSqlDatabase &db,
                        const QString &table) const override;
    QString waitForLocks(QSqlDatabase &db, int ms) const override;
    bool refusesRow(const QSqlError &error) const override;

protected:
    // Refuses, naming the file: a missing file, a directory, a Microsoft Access file (with a
    // message that says so), any other file that is not an SQLite database, and a file or folder
    // that the program may not write to.
    void check() const override;
    void configure(QSqlDatabase &db) const override;
    QString verify(QSqlDatabase &db) const override;
    RuntimeError openFailure(const QString &driverText) const override;
};
