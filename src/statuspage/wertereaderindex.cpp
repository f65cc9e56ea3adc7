// Whether Werte has the index the page's reads need, on SQLite and on a PostgreSQL server.
#include "wertereader.h"

#include "storage/database.h"
#include "storage/werteindexes.h"

#include <QSqlDatabase>

QString WerteReader::indexStatement()
{
    return QStringLiteral("CREATE INDEX WerteZeit ON Werte (Zeit, SensorNummer, MessWert);");
}

WerteReader::Index WerteReader::index()
{
    open();
    return m_index;
}

WerteReader::Index WerteReader::probeIndex()
{
    QSqlDatabase db = m_database->connection();
    const WerteIndexes indexes = WerteIndexes::read(db);
    m_timeFirst = indexes.timeFirst();
    if (!indexes.known) {
        return Index::Unknown;
    }
    return indexes.covering() ? Index::Present : Index::Missing;
}
