// The size of the database and of Werte for the status page, from what SQLite and PostgreSQL keep
// anyway: a count of 31 million rows would hold the reader thread for seconds at every status.
#include "wertereader.h"

#include "runtime/wallclock.h"
#include "storage/database.h"
#include "storage/werteindexes.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace {

std::optional<qint64> integer(QSqlQuery &query, const QString &statement)
{
    query.setForwardOnly(true);
    if (!query.exec(statement) || !query.next() || query.value(0).isNull()) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 value = query.value(0).toLongLong(&ok);
    query.finish();
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

} // namespace

WerteReader::Bestand WerteReader::bestand()
{
    open();
    Bestand found;
    QSqlDatabase db = m_database->connection();
    QSqlQuery query(db);
    const bool timeFirst = WerteIndexes::read(db).timeFirst();
    if (m_driver == QLatin1String("QSQLITE")) {
        const QString file = m_database->path();
        found.groesse = QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
        const std::optional<qint64> first =
            integer(query, QStringLiteral("SELECT min(rowid) FROM Werte"));
        const std::optional<qint64> last =
            integer(query, QStringLiteral("SELECT max(rowid) FROM Werte"));
        found.zeilen = first && last ? *last - *first + 1 : 0;
        if (!timeFirst && first) {
            query.prepare(QStringLiteral("SELECT Zeit FROM Werte WHERE rowid = ?"));
            query.bindValue(0, *first);
            if (query.exec() && query.next()) {
                const QDateTime zeit = WallClock::fromDatabase(query.value(0));
                if (zeit.isValid()) {
                    found.aeltesteZeit = zeit;
                }
            }
            query.finish();
        }
    } else if (m_driver == QLatin1String("QPSQL")) {
        found.groesse =
            integer(query, QStringLiteral(
                               "SELECT pg_total_relation_size('werte'::regclass) + "
                               "coalesce(pg_total_relation_size(to_regclass('stundenwerte')), 0)"));
        // -1 until the table was first analysed.
        found.zeilen = integer(query, QStringLiteral("SELECT greatest(reltuples, 0)::bigint FROM "
                                                     "pg_class WHERE oid = 'werte'::regclass"));
    }
    if (timeFirst) {
        if (const std::optional<qint64> oldest = Stundenwerte::extreme(db, true)) {
            found.aeltesteZeit = QDateTime::fromSecsSinceEpoch(*oldest, Qt::UTC);
        }
    }
    return found;
}
