#pragma once

#include <QString>

#include <memory>

class Database;

// The database engine: one per process, created on first use and never released. It opens
// databases; everything else goes through the Database it returns.
class DbEngine
{
public:
    static DbEngine &instance();

    // Opens the database that name gives: the path of an existing SQLite file (opened shared and
    // read-write, never created), a PostgreSQL URI or an ODBC source (see DbBackend). Every
    // failure is a RuntimeError that names the file, server or data source and never shows a
    // password.
    std::unique_ptr<Database> OpenDatabase(const QString &name);

private:
    DbEngine() = default;
    int m_connections = 0;
};
