#pragma once

#include <QList>
#include <QStringList>

class QSqlDatabase;

// The full (not partial) indexes of Werte as an SQLite file or a PostgreSQL server lists them,
// their column names in lower case. ODBC cannot tell: known stays false.
struct WerteIndexes
{
    struct Index
    {
        QStringList keys;
        // PostgreSQL's INCLUDE columns.
        QStringList included;
    };
    bool known = false;
    QList<Index> indexes;

    static WerteIndexes read(QSqlDatabase &db);

    // An index that begins with Zeit: a range of time is found without reading the table.
    bool timeFirst() const;
    // One from which a range is read alone: its keys begin with Zeit and SensorNummer (the
    // schema's, which a store appends to) or with SensorNummer and Zeit (older files'), and it
    // holds MessWert.
    bool covering() const;
};
