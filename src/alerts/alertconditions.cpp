#include "alertconditions.h"
#include "runtime/journal.h"

#include "runtime/numbertext.h"
#include "runtime/timeformats.h"
#include "storage/mittelwerte.h"
#include "storage/registry.h"
#include "storage/storestate.h"
#include "web/pollingstate.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// Names go into messages through Journal::plain, so that none can start a line (or a mail header)
// of its own, and only through one multi-argument arg(), so a "%2" in a name stays.
QString number(double value)
{
    return numberText(value).trimmed();
}

AlertEvent event(AlertEvent::Kind kind, bool begins, const QDateTime &time, qint32 nummer,
                 const QString &name, const QString &text, double value = kNone,
                 double limit = kNone)
{
    return AlertEvent{kind, begins, time, nummer, name, value, limit, text, QString()};
}

} // namespace

AlertConditions::AlertConditions(const Registry &registry, const QHash<qint32, Grenzwert> &limits,
                                 qint32 failuresInRow, qint32 storeMinutes)
    : m_limits(std::size_t(registry.AnzahlSensoren) + 1),
      m_devices(std::size_t(registry.AnzahlGeraete) + 1),
      m_sensors(std::size_t(registry.AnzahlSensoren) + 1), m_failuresInRow(failuresInRow),
      m_storeMinutes(storeMinutes)
{
    for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
        m_limits[std::size_t(j)] = limits.value(registry.SensorID[j]);
    }
}

double AlertConditions::hysteresis(const Grenzwert &limit)
{
    const double size = limit.minimum && limit.maximum
                            ? *limit.maximum - *limit.minimum
                            : std::abs(limit.maximum ? *limit.maximum : limit.minimum.value_or(0));
    return std::max(0.1, 0.01 * size);
}

QList<AlertEvent> AlertConditions::update(const Registry &registry, const PollingState &polling,
                                          const QList<Mittelwert> &averages,
                                          const StoreState &store, const QDateTime &now)
{
    QList<AlertEvent> events;
    checkDevices(registry, polling, now, events);
    checkLimits(registry, averages, events);
    checkStore(store, now, events);
    return events;
}

void AlertConditions::checkDevices(const Registry &registry, const PollingState &polling,
                                   const QDateTime &now, QList<AlertEvent> &events)
{
    for (qint32 i = 1; i < qint32(m_devices.size()); ++i) {
        Condition &condition = m_devices[std::size_t(i)];
        const PollingState::Device device = polling.device(i);
        const bool failing = device.failuresInRow >= m_failuresInRow;
        if (failing == (condition.side != 0)) {
            continue;
        }
        const QString name = Journal::plain(registry.GeraetName[i]);
        const QString which = QStringLiteral("Gerät '%1' (Nr. %2, %3)")
                                  .arg(name, QString::number(registry.GeraetID[i]),
                                       Journal::plain(registry.GeraetIP[i]));
        QString text;
        if (failing) {
            condition = Condition{device.failingSince,
                                  QStringLiteral("%1 antwortet nicht: %2 Abfragen in Folge "
                                                 "erfolglos seit %3 (%4).")
                                      .arg(which, QString::number(device.failuresInRow),
                                           TimeFormat::passLogText(device.failingSince),
                                           device.failure.text()),
                                  1};
            text = condition.text;
        } else {
            text = QStringLiteral("%1 antwortet wieder (erfolglos seit %2).")
                       .arg(which, TimeFormat::passLogText(condition.since));
            condition = Condition();
        }
        AlertEvent happened =
            event(AlertEvent::Kind::Device, failing, now, registry.GeraetID[i], name, text);
        if (failing) {
            happened.reason = device.failure.keyword();
        }
        events << happened;
    }
}

void AlertConditions::checkLimits(const Registry &registry, const QList<Mittelwert> &averages,
                                  QList<AlertEvent> &events)
{
    for (const Mittelwert &average : averages) {
        if (average.sensor < 1 || average.sensor >= qint32(m_sensors.size())) {
            continue;
        }
        const Grenzwert &limit = m_limits[std::size_t(average.sensor)];
        Condition &condition = m_sensors[std::size_t(average.sensor)];
        const double v = average.wert;
        const double h = hysteresis(limit);
        int side = 0;
        if ((limit.maximum && v > *limit.maximum)
            || (condition.side > 0 && limit.maximum && v > *limit.maximum - h)) {
            side = 1;
        } else if ((limit.minimum && v < *limit.minimum)
                   || (condition.side < 0 && limit.minimum && v < *limit.minimum + h)) {
            side = -1;
        }
        if (side == condition.side) {
            continue;
        }
        const QString name = Journal::plain(registry.SensorName[average.sensor]);
        const QString which = QStringLiteral("Sensor '%1' (Nr. %2): Mittelwert %3")
                                  .arg(name, QString::number(average.sensorNummer), number(v));
        if (condition.side != 0) {
            const bool wasAbove = condition.side > 0;
            const double crossed = wasAbove ? *limit.maximum : *limit.minimum;
            events << event(AlertEvent::Kind::Limit, false, average.zeit, average.sensorNummer,
                            name,
                            QStringLiteral("%1 wieder %2 %3.")
                                .arg(which,
                                     wasAbove ? QStringLiteral("unter dem Maximum")
                                              : QStringLiteral("über dem Minimum"),
                                     number(crossed)),
                            v, crossed);
            condition = Condition();
        }
        if (side != 0) {
            const double crossed = side > 0 ? *limit.maximum : *limit.minimum;
            condition = Condition{average.zeit,
                                  QStringLiteral("%1 %2 %3.")
                                      .arg(which,
                                           side > 0 ? QStringLiteral("über dem Maximum")
                                                    : QStringLiteral("unter dem Minimum"),
                                           number(crossed)),
                                  side};
            events << event(AlertEvent::Kind::Limit, true, average.zeit, average.sensorNummer, name,
                            condition.text, v, crossed);
        }
    }
}

void AlertConditions::checkStore(const StoreState &store, const QDateTime &now,
                                 QList<AlertEvent> &events)
{
    const bool failing = store.failingSince.isValid()
                         && store.failingSince.secsTo(now) >= qint64(m_storeMinutes) * 60;
    if (failing == (m_store.side != 0)) {
        return;
    }
    if (failing) {
        const QString reason = store.failure.isEmpty()
                                   ? QString()
                                   : QStringLiteral(": ") + Journal::plain(store.failure);
        const QString waiting = store.waiting == 1
                                    ? QStringLiteral("1 Messwert wartet")
                                    : QStringLiteral("%1 Messwerte warten").arg(store.waiting);
        m_store = Condition{store.failingSince,
                            QStringLiteral("Speichern in die Datenbank schlägt seit %1 fehl%2. "
                                           "%3.")
                                .arg(TimeFormat::passLogText(store.failingSince), reason, waiting),
                            1};
        events << event(AlertEvent::Kind::Store, true, now, 0, QString(), m_store.text);
        return;
    }
    // The rows that waited have been written: that is what ends a run of failed stores.
    if (!store.failingSince.isValid()) {
        m_store = Condition();
        events << event(AlertEvent::Kind::Store, false, now, 0, QString(),
                        QStringLiteral("Speichern in die Datenbank geht wieder: die wartenden "
                                       "Messwerte sind gespeichert."));
    }
}

QList<ActiveAlert> AlertConditions::active() const
{
    QList<ActiveAlert> on;
    for (const std::vector<Condition> *conditions : {&m_devices, &m_sensors}) {
        for (const Condition &condition : *conditions) {
            if (condition.side != 0) {
                on << ActiveAlert{condition.since, condition.text};
            }
        }
    }
    if (m_store.side != 0) {
        on << ActiveAlert{m_store.since, m_store.text};
    }
    return on;
}
