// Whether Werte has the index the page's reads need, on SQLite and on a PostgreSQL server.
#include "wertereader.h"

#include "storage/database.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace {

// Key columns that begin with SensorNummer and Zeit, and MessWert among them or the included
// ones (PostgreSQL's INCLUDE).
bool isIndexColumns(QStringList keys, QStringList included)
{
    for (QStringList *names : {&keys, &included}) {
        for (QString &name : *names) {
            name = name.trimmed().remove(QLatin1Char('"')).remove(QLatin1Char(')')).toLower();
        }
    }
    return keys.size() >= 2 && keys.at(0) == QLatin1String("sensornummer")
           && keys.at(1) == QLatin1String("zeit")
           && (keys.contains(QLatin1String("messwert"))
               || included.contains(QLatin1String("messwert")));
}

} // namespace

QString WerteReader::indexStatement()
{
    return QStringLiteral("CREATE INDEX WerteSensorZeit ON Werte (SensorNummer, Zeit, MessWert);");
}

WerteReader::Index WerteReader::index()
{
    open();
    return m_index;
}

WerteReader::Index WerteReader::probeIndex()
{
    QSqlQuery query(m_database->connection());
    if (m_driver == QLatin1String("QSQLITE")) {
        QStringList names;
        if (!query.exec(QStringLiteral("PRAGMA index_list(Werte)"))) {
            return Index::Unknown;
        }
        while (query.next()) {
            // A partial index does not hold every row.
            if (query.value(4).toInt() == 0) {
                names << query.value(1).toString();
            }
        }
        for (QString name : std::as_const(names)) {
            name.replace(QLatin1Char('"'), QLatin1String("\"\""));
            QStringList columns;
            if (!query.exec(QStringLiteral("PRAGMA index_info(\"%1\")").arg(name))) {
                return Index::Unknown;
            }
            while (query.next()) {
                columns << query.value(2).toString();
            }
            if (isIndexColumns(columns, {})) {
                return Index::Present;
            }
        }
        return Index::Missing;
    }
    if (m_driver == QLatin1String("QPSQL")) {
        if (!query.exec(QStringLiteral("SELECT lower(pg_get_indexdef(indexrelid)) FROM pg_index "
                                       "WHERE indrelid = 'werte'::regclass AND indpred IS NULL"))) {
            return Index::Unknown;
        }
        while (query.next()) {
            // "create index ... on nord.werte using btree (sensornummer, zeit) include (messwert)"
            const QString definition = query.value(0).toString();
            const qsizetype open = definition.indexOf(QLatin1Char('('));
            const qsizetype close = definition.indexOf(QLatin1Char(')'), open);
            const qsizetype include = definition.indexOf(QLatin1String(" include ("), close);
            const QStringList keys =
                definition.mid(open + 1, close - open - 1).split(QLatin1Char(','));
            const QString included = include < 0 ? QString() : definition.mid(include + 10);
            if (open >= 0 && close > open
                && isIndexColumns(keys, included.split(QLatin1Char(',')))) {
                return Index::Present;
            }
        }
        return Index::Missing;
    }
    return Index::Unknown;
}
