#include "wertereader.h"

#include "runtime/processsignals.h"
#include "runtime/runtimeerror.h"
#include "runtime/wallclock.h"
#include "storage/database.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// Without the index the latest rows are looked for this far back at most.
constexpr qint64 kLatestScanRows = 2000000;
// SQLite's page cache for this connection, in KiB: the index pages it walks are few, and the
// program's memory should not grow by the default 2 MB for them.
constexpr int kCacheKiB = 512;

// The key by which an export goes on after a row: the text as an SQLite file holds it, or a
// server's timestamp in the same form.
QString keyOf(const QVariant &zeit)
{
    return zeit.typeId() == QMetaType::QString ? zeit.toString()
                                               : WallClock::sqlText(WallClock::fromDatabase(zeit));
}

} // namespace

WerteReader::WerteReader(QString databaseName) : m_name(std::move(databaseName)) {}

WerteReader::~WerteReader() = default;

void WerteReader::close()
{
    m_database.reset();
}

void WerteReader::open()
{
    if (m_database) {
        return;
    }
    m_database = OpenDatabase(m_name, Database::Access::ReadOnly);
    m_driver = m_database->connection().driverName();
    if (m_driver == QLatin1String("QSQLITE")) {
        // Should it not take, the connection keeps SQLite's default cache: more memory, the same
        // answers.
        QSqlQuery(m_database->connection())
            .exec(QStringLiteral("PRAGMA cache_size = -%1").arg(kCacheKiB));
    }
    m_index = probeIndex();
    QSqlDatabase db = m_database->connection();
    m_figures = Stundenwerte::present(db);
}

QSqlQuery WerteReader::prepared(const QString &statement)
{
    open();
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(statement)) {
        fail(query);
    }
    return query;
}

void WerteReader::exec(QSqlQuery &query)
{
    if (!query.exec()) {
        fail(query);
    }
}

void WerteReader::fail(QSqlQuery &query)
{
    const QString reason = query.lastError().text();
    query = QSqlQuery();
    close();
    throw RuntimeError(ErrorNumber::DiskOrNetworkError,
                       QStringLiteral("Die Tabelle 'Werte' der Datenbank '%1' kann nicht gelesen "
                                      "werden: %2")
                           .arg(m_name, reason));
}

bool WerteReader::slices()
{
    return index() != Index::Present && m_driver == QLatin1String("QSQLITE");
}

qint64 WerteReader::maxRowid()
{
    QSqlQuery query = prepared(QStringLiteral("SELECT max(rowid) FROM Werte"));
    exec(query);
    return query.next() ? query.value(0).toLongLong() : 0;
}

QList<WerteReader::Row> WerteReader::page(Cursor &cursor, int limit)
{
    QList<Row> rows;
    while (!cursor.done() && rows.size() < limit) {
        rows += slices() ? pageFromSlices(cursor, limit - int(rows.size()))
                         : pageFromIndex(cursor, limit - int(rows.size()));
    }
    return rows;
}

QList<WerteReader::Row> WerteReader::pageFromIndex(Cursor &cursor, int limit)
{
    // Keyset paging: the next rows from the last Zeit sent on, less those with that Zeit that
    // were sent already. In the index's order, so that nothing is sorted.
    const qint32 sensor = cursor.sensors.at(cursor.sensor);
    QSqlQuery query = prepared(QStringLiteral(
        "SELECT Zeit, MessWert FROM Werte WHERE SensorNummer = ? AND Zeit >= ? AND Zeit < ? "
        "ORDER BY Zeit, MessWert LIMIT ? OFFSET ?"));
    query.bindValue(0, sensor);
    query.bindValue(1, cursor.started ? cursor.lastZeit : WallClock::sqlText(cursor.von));
    query.bindValue(2, WallClock::sqlText(cursor.bis.addSecs(1)));
    query.bindValue(3, limit);
    query.bindValue(4, cursor.started ? cursor.sentAtLastZeit : 0);
    exec(query);
    QList<Row> rows;
    while (query.next()) {
        rows.append(Row{sensor, query.value(0), query.value(1)});
    }
    query.finish();
    if (rows.size() < limit) {
        cursor.nextSensor();
        return rows;
    }
    const QString key = keyOf(rows.constLast().zeit);
    qint64 same = 0;
    for (auto row = rows.crbegin(); row != rows.crend() && keyOf(row->zeit) == key; ++row) {
        ++same;
    }
    const bool sameKey = cursor.started && key == cursor.lastZeit;
    cursor.sentAtLastZeit = same + (same == rows.size() && sameKey ? cursor.sentAtLastZeit : 0);
    cursor.lastZeit = key;
    cursor.started = true;
    return rows;
}

QList<WerteReader::Row> WerteReader::pageFromSlices(Cursor &cursor, int limit)
{
    const qint32 sensor = cursor.sensors.at(cursor.sensor);
    const qint64 last = maxRowid();
    QSqlQuery query = prepared(
        QStringLiteral("SELECT rowid, Zeit, MessWert FROM Werte WHERE rowid > ? AND rowid <= ? AND "
                       "SensorNummer = ? AND Zeit >= ? AND Zeit < ? ORDER BY rowid LIMIT ?"));
    QList<Row> rows;
    while (rows.size() < limit && cursor.lastRowid < last && !isEnding()) {
        const int wanted = limit - int(rows.size());
        query.bindValue(0, cursor.lastRowid);
        query.bindValue(1, cursor.lastRowid + kSlice);
        query.bindValue(2, sensor);
        query.bindValue(3, WallClock::sqlText(cursor.von));
        query.bindValue(4, WallClock::sqlText(cursor.bis.addSecs(1)));
        query.bindValue(5, wanted);
        exec(query);
        qint64 lastSeen = 0;
        int found = 0;
        while (query.next()) {
            rows.append(Row{sensor, query.value(1), query.value(2)});
            lastSeen = query.value(0).toLongLong();
            ++found;
        }
        query.finish();
        // A slice cut short by the limit goes on after its last row.
        cursor.lastRowid = found == wanted ? lastSeen : cursor.lastRowid + kSlice;
    }
    if (cursor.lastRowid >= last) {
        cursor.nextSensor();
    }
    return rows;
}

QList<WerteReader::Latest> WerteReader::latest(const QList<qint32> &sensors)
{
    QList<Latest> found;
    if (!slices()) {
        QSqlQuery query = prepared(QStringLiteral("SELECT Zeit, MessWert FROM Werte WHERE "
                                                  "SensorNummer = ? ORDER BY Zeit DESC, "
                                                  "MessWert DESC LIMIT 1"));
        for (const qint32 sensor : sensors) {
            query.bindValue(0, sensor);
            exec(query);
            if (query.next()) {
                found.append(Latest{sensor, WallClock::fromDatabase(query.value(0)),
                                    query.value(1).toDouble()});
            }
            query.finish();
        }
        return found;
    }
    // Backwards through the file, a slice at a time: the rows stored last come first, and within
    // the slice where a sensor turns up its latest Zeit wins.
    QList<qint32> missing = sensors;
    QSqlQuery query = prepared(QStringLiteral("SELECT SensorNummer, Zeit, MessWert FROM Werte "
                                              "WHERE rowid > ? AND rowid <= ?"));
    const qint64 last = maxRowid();
    for (qint64 to = last;
         to > 0 && to > last - kLatestScanRows && !missing.isEmpty() && !isEnding(); to -= kSlice) {
        query.bindValue(0, to - kSlice);
        query.bindValue(1, to);
        exec(query);
        QHash<qint32, Row> newest;
        while (query.next()) {
            const qint32 sensor = query.value(0).toInt();
            const auto known = newest.constFind(sensor);
            if (missing.contains(sensor)
                && (known == newest.cend() || keyOf(query.value(1)) > keyOf(known->zeit))) {
                newest.insert(sensor, Row{sensor, query.value(1), query.value(2)});
            }
        }
        query.finish();
        for (const Row &row : std::as_const(newest)) {
            missing.removeOne(row.sensorNummer);
            found.append(
                Latest{row.sensorNummer, WallClock::fromDatabase(row.zeit), row.wert.toDouble()});
        }
    }
    return found;
}
