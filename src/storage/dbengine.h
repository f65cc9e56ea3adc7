#pragma once

#include <QString>

#include <memory>

class Database;

// The database engine: one per process, created on first use and never released. It opens
// database files; everything else goes through the Database it returns.
class DbEngine
{
public:
    static DbEngine &instance();

    // Opens an existing SQLite file shared and read-write; it never creates one. Refuses, with a
    // RuntimeError that names the file: a missing file, a directory, a Microsoft Access file (with
    // a message that says so), any other file that is not an SQLite database, and a file or
    // folder that the program may not write to.
    std::unique_ptr<Database> OpenDatabase(const QString &path);

private:
    DbEngine() = default;
    int m_connections = 0;
};
