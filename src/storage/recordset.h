#pragma once

#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>

class QSqlDatabase;
class QVariant;

// A forward-only cursor over all rows of one table, positioned before the first row until
// MoveFirst. Reads fail with a RuntimeError that names the table (and the column).
class Recordset
{
public:
    Recordset(QSqlQuery query, QString table, QString databasePath);

    // Makes the first row current; meant to be called once, right after opening. An empty table
    // is the "no current record" error.
    void MoveFirst();
    // True once the position has moved past the last row.
    bool Eof() const { return !m_onRow; }
    // The value of the named column in the current row: a number, a text or a null. The column is
    // looked up afresh on every read; one that does not exist is an error.
    QVariant field(const QString &column) const;
    void MoveNext();
    void Close();

private:
    void failIfQueryFailed() const;

    QSqlQuery m_query;
    QSqlRecord m_columns;
    QString m_table;
    QString m_databasePath;
    bool m_onRow = false;
};
