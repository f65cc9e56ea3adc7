#include "aufbewahrung.h"

#include "runtime/journal.h"
#include "runtime/wallclock.h"
#include "stundenwerte.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <map>
#include <set>

namespace {

using Stundenwerte::kHour;

// Rows deleted by one step, about: a few milliseconds, which a store may wait.
constexpr qint64 kBatchRows = 1000;
// Between steps, so that stores and the walk of LangzeitAbgleich get their turn; and between two
// rounds, since the limit moves on by an hour an hour.
constexpr int kStepPauseMs = 200;
constexpr int kRestMs = 10 * 60 * 1000;

QString hourText(qint64 seconds)
{
    return WallClock::sqlText(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC));
}

} // namespace

QList<SettingRows::Name> Aufbewahrung::settingNames()
{
    return {{QStringLiteral("Aufbewahrung"), SettingRows::Kind::Number}};
}

qint32 Aufbewahrung::fromSettings(const SettingRows &rows)
{
    const QString name = QStringLiteral("Aufbewahrung");
    if (!rows.contains(name)) {
        return 0;
    }
    const qint32 tage = rows.number(name, 0);
    if (tage < 1 || tage > kMaxTage) {
        rows.wrong(name, QStringLiteral("Aufbewahrung muss zwischen 1 und %1 Tagen liegen, nicht "
                                        "bei %2.")
                             .arg(kMaxTage)
                             .arg(tage));
    }
    return tage;
}

void Aufbewahrung::setTage(qint32 tage)
{
    if (tage != m_tage) {
        m_tage = tage;
        m_hour.reset();
        m_resting = false;
    }
}

int Aufbewahrung::pauseMs() const
{
    const int pause = m_resting ? kRestMs : kStepPauseMs;
    if (!m_sinceStep.isValid()) {
        return 0;
    }
    return int(std::max<qint64>(0, pause - m_sinceStep.elapsed()));
}

void Aufbewahrung::rest()
{
    if (m_deletedInRound > 0) {
        Journal::write(
            Journal::Priority::Info,
            QStringLiteral("Aufbewahrung: %1 Zeilen von Werte vor %2 gelöscht; ihre "
                           "Stundenwerte bleiben.")
                .arg(m_deletedInRound)
                .arg(WallClock::isoText(QDateTime::fromSecsSinceEpoch(m_limit, Qt::UTC))));
    }
    m_deletedInRound = 0;
    m_hour.reset();
    m_resting = true;
}

void Aufbewahrung::step(QSqlDatabase &db, qint64 now)
{
    m_sinceStep.start();
    if (!enabled()) {
        return;
    }
    m_resting = false;
    const std::optional<qint64> newest = Stundenwerte::extreme(db, false);
    if (!m_hour) {
        const std::optional<qint64> oldest = Stundenwerte::extreme(db, true);
        if (!oldest || !newest) {
            rest();
            return;
        }
        m_hour = Stundenwerte::hourOf(*oldest);
        m_sensorAfter = -1;
        m_limit = Stundenwerte::hourOf(now - qint64(m_tage) * 86400);
    }
    // The open hour has no figures yet, whatever the clock says.
    const qint64 open = newest ? Stundenwerte::hourOf(*newest) : *m_hour;
    if (*m_hour >= std::min(m_limit, open)) {
        rest();
        return;
    }
    if (!db.transaction()) {
        return;
    }
    // On a server another logger may store meanwhile: what is compared is what is deleted.
    Position next;
    if ((db.driverName() == QLatin1String("QPSQL")
         && !QSqlQuery(db).exec(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")))
        || !pruneHour(db, open, &next) || !db.commit()) {
        db.rollback();
        return;
    }
    m_hour = next.hour;
    m_sensorAfter = next.sensorAfter;
    m_deleted += next.deleted;
    m_deletedInRound += next.deleted;
}

bool Aufbewahrung::pruneHour(QSqlDatabase &db, qint64 open, Position *next)
{
    const qint64 hour = *m_hour;
    QSqlQuery sensors(db);
    sensors.setForwardOnly(true);
    if (!sensors.prepare(QStringLiteral("SELECT DISTINCT SensorNummer FROM Werte WHERE Zeit >= ? "
                                        "AND Zeit < ? AND SensorNummer > ?"))) {
        return false;
    }
    sensors.bindValue(0, hourText(hour));
    sensors.bindValue(1, hourText(hour + kHour));
    sensors.bindValue(2, m_sensorAfter);
    if (!sensors.exec()) {
        return false;
    }
    std::set<qint32> waiting;
    while (sensors.next()) {
        bool ok = false;
        const qint32 sensor = sensors.value(0).toInt(&ok);
        if (ok) {
            waiting.insert(sensor);
        }
    }
    sensors.finish();
    QSqlQuery rows(db);
    rows.setForwardOnly(true);
    QSqlQuery remove(db);
    if (!rows.prepare(QStringLiteral("SELECT Zeit, MessWert FROM Werte WHERE Zeit >= ? AND "
                                     "Zeit < ? AND SensorNummer = ?"))
        || !remove.prepare(QStringLiteral(
            "DELETE FROM Werte WHERE Zeit >= ? AND Zeit < ? AND SensorNummer = ?"))) {
        return false;
    }
    qint64 deleted = 0;
    qint32 last = m_sensorAfter;
    for (const qint32 sensor : waiting) {
        if (deleted >= kBatchRows) {
            break;
        }
        last = sensor;
        rows.bindValue(0, hourText(hour));
        rows.bindValue(1, hourText(hour + kHour));
        rows.bindValue(2, sensor);
        if (!rows.exec()) {
            return false;
        }
        Stundenwerte::Hours werte;
        qint64 count = 0;
        while (rows.next()) {
            ++count;
            Stundenwerte::count(werte, sensor, rows.value(0), rows.value(1));
        }
        rows.finish();
        Stundenwerte::Hours figures;
        QString failure;
        if (!Stundenwerte::read(db, hour, hour + kHour, {sensor}, &figures, &failure)) {
            return false;
        }
        const Stundenwerte::Key key{hour, sensor};
        const auto counted = werte.find(key);
        const auto there = figures.find(key);
        // Each row counted, and the figures of exactly these rows: else the hour stays whole.
        if (counted == werte.end() || there == figures.end() || counted->second.anzahl != count
            || !there->second.agrees(counted->second)) {
            continue;
        }
        remove.bindValue(0, hourText(hour));
        remove.bindValue(1, hourText(hour + kHour));
        remove.bindValue(2, sensor);
        if (!remove.exec()) {
            return false;
        }
        deleted += std::max(0, remove.numRowsAffected());
    }
    const bool hourDone = last == (waiting.empty() ? m_sensorAfter : *waiting.rbegin());
    next->hour = hour;
    next->sensorAfter = hourDone ? -1 : last;
    next->deleted = deleted;
    if (hourDone) {
        // On to the next hour that Werte holds a row of.
        QSqlQuery later(db);
        later.setForwardOnly(true);
        if (!later.prepare(QStringLiteral("SELECT min(Zeit) FROM Werte WHERE Zeit >= ? AND "
                                          "Zeit < ?"))) {
            return false;
        }
        later.bindValue(0, hourText(hour + kHour));
        later.bindValue(1, hourText(open));
        if (!later.exec()) {
            return false;
        }
        const std::optional<qint64> zeit =
            later.next() ? WallClock::secondsOf(later.value(0)) : std::nullopt;
        next->hour = zeit ? std::max(hour + kHour, Stundenwerte::hourOf(*zeit)) : open;
    }
    return true;
}
