#pragma once

#include "dbbackend.h"

// An ODBC data source through unixODBC (or the Windows driver manager): "odbc:" followed by the
// name of a DSN, or by a connection string such as
//   odbc:DRIVER={Microsoft Access Driver (*.mdb, *.accdb)};DBQ=C:\Pelvaro\Messwerte.mdb
// The password belongs in the DSN's own configuration; a PWD= in the text is refused.
//
// Rows are read ordered by the column Reihenfolge where a table has one. Without it the order is
// the driver's: insertion order for an SQLite file or an Access table without a key, but no
// stable order on a server.
class OdbcBackend : public DbBackend
{
public:
    // Throws a RuntimeError for an empty text or one that holds a password.
    explicit OdbcBackend(const QString &name);

    bool isMissingTable(const QSqlError &error, const QSqlDatabase &db,
                        const QString &table) const override;

protected:
    void configure(QSqlDatabase &db) const override;
    RuntimeError openFailure(const QString &driverText) const override;

private:
    QString m_source;
};
