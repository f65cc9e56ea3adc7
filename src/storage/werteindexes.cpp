#include "werteindexes.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace {

QStringList normal(QStringList names)
{
    for (QString &name : names) {
        name = name.trimmed().remove(QLatin1Char('"')).remove(QLatin1Char(')')).toLower();
    }
    return names;
}

WerteIndexes fromSqlite(QSqlQuery &query)
{
    WerteIndexes found;
    QStringList names;
    if (!query.exec(QStringLiteral("PRAGMA index_list(Werte)"))) {
        return found;
    }
    while (query.next()) {
        // A partial index does not hold every row.
        if (query.value(4).toInt() == 0) {
            names << query.value(1).toString();
        }
    }
    for (QString name : std::as_const(names)) {
        name.replace(QLatin1Char('"'), QLatin1String("\"\""));
        WerteIndexes::Index index;
        if (!query.exec(QStringLiteral("PRAGMA index_info(\"%1\")").arg(name))) {
            return found;
        }
        while (query.next()) {
            index.keys << query.value(2).toString();
        }
        index.keys = normal(index.keys);
        found.indexes.append(index);
    }
    found.known = true;
    return found;
}

WerteIndexes fromServer(QSqlQuery &query)
{
    WerteIndexes found;
    if (!query.exec(QStringLiteral("SELECT lower(pg_get_indexdef(indexrelid)) FROM pg_index "
                                   "WHERE indrelid = 'werte'::regclass AND indpred IS NULL"))) {
        return found;
    }
    while (query.next()) {
        // "create index ... on nord.werte using btree (sensornummer, zeit) include (messwert)"
        const QString definition = query.value(0).toString();
        const qsizetype open = definition.indexOf(QLatin1Char('('));
        const qsizetype close = definition.indexOf(QLatin1Char(')'), open);
        if (open < 0 || close <= open) {
            continue;
        }
        const qsizetype include = definition.indexOf(QLatin1String(" include ("), close);
        WerteIndexes::Index index;
        index.keys = normal(definition.mid(open + 1, close - open - 1).split(QLatin1Char(',')));
        if (include >= 0) {
            index.included = normal(definition.mid(include + 10).split(QLatin1Char(',')));
        }
        found.indexes.append(index);
    }
    found.known = true;
    return found;
}

} // namespace

WerteIndexes WerteIndexes::read(QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (db.driverName() == QLatin1String("QSQLITE")) {
        return fromSqlite(query);
    }
    if (db.driverName() == QLatin1String("QPSQL")) {
        return fromServer(query);
    }
    return {};
}

bool WerteIndexes::timeFirst() const
{
    for (const Index &index : indexes) {
        if (!index.keys.isEmpty() && index.keys.constFirst() == QLatin1String("zeit")) {
            return true;
        }
    }
    return false;
}

bool WerteIndexes::covering() const
{
    const QStringList timeFirst{QStringLiteral("zeit"), QStringLiteral("sensornummer")};
    const QStringList sensorFirst{QStringLiteral("sensornummer"), QStringLiteral("zeit")};
    for (const Index &index : indexes) {
        const QStringList first = index.keys.mid(0, 2);
        if ((first == timeFirst || first == sensorFirst)
            && (index.keys.contains(QLatin1String("messwert"))
                || index.included.contains(QLatin1String("messwert")))) {
            return true;
        }
    }
    return false;
}
