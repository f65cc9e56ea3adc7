#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class Recordset;

// An open database file. Table and column names match without regard to case. Every failure is a
// RuntimeError that names the file and carries the driver's own text.
class Database
{
public:
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // All rows of the table in the order in which they were inserted, which stays the same from
    // run to run. A table that does not exist is an error.
    std::unique_ptr<Recordset> OpenRecordset(const QString &table);

    // Runs one statement with the driver's defaults (each statement its own transaction).
    void Execute(const QString &statement);

    // Runs statement(0) .. statement(count - 1) as one transaction: all of them land, or none.
    // Returns the empty text, or the database's own text for the failure after rolling back.
    // Statements are made one at a time, so a long backlog never sits in memory as text twice.
    QString executeInTransaction(qsizetype count,
                                 const std::function<QString(qsizetype)> &statement);

    // The columns of a table, read from a query that yields no row. A table that does not exist
    // is an error with the same text as for OpenRecordset.
    QStringList columnNames(const QString &table);

    // Closes the file. No recordset of this database may still be open.
    void Close();

    QString path() const { return m_path; }

private:
    friend class DbEngine;
    Database(QString connectionName, QString path);

    QString m_connectionName;
    QString m_path;
    bool m_open = true;
};
