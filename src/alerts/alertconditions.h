#pragma once

#include "activealert.h"
#include "grenzwerte.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <vector>

class PollingState;
struct Mittelwert;
struct Registry;
struct StoreState;

// The start or the end of one alert condition.
struct AlertEvent
{
    enum class Kind { Device, Limit, Store };

    Kind kind;
    bool begins;
    // The time of the pass that found it.
    QDateTime time;
    // The device or sensor by its number (its ID) and name; 0 and empty for the store.
    qint32 number = 0;
    QString name;
    // For a limit: the average and the limit it crossed or is back within; NaN otherwise.
    double value;
    double limit;
    // What happened, in German, in one line that names the device or sensor (and for a device
    // that fails, why); control characters in names have become blanks.
    QString text;
    // For a device that begins to fail: the keyword of why its latest fetch failed; empty
    // otherwise.
    QString reason;
};

// Which alert conditions are on, worked out after each polling pass:
//  - a device whose fetch failed in failuresInRow passes in a row, until its next good fetch,
//    named with the reason of the latest of those failures;
//  - a sensor whose stored average lies outside its Grenzwert, until an average lies inside by
//    the hysteresis (1 % of the span between Minimum and Maximum, or of the one limit's size,
//    and at least 0.1), so that an average hovering at a limit does not flap;
//  - storing that has failed for storeMinutes minutes or longer, until the waiting rows are
//    written.
// Each condition gives one event when it begins and one when it ends, never more.
class AlertConditions
{
public:
    // limits by SensorNummer; devices and sensors are taken by position from registry.
    AlertConditions(const Registry &registry, const QHash<qint32, Grenzwert> &limits,
                    qint32 failuresInRow, qint32 storeMinutes);

    // The events of one pass, devices first in table order, then sensors, then the store.
    QList<AlertEvent> update(const Registry &registry, const PollingState &polling,
                             const QList<Mittelwert> &averages, const StoreState &store,
                             const QDateTime &now);

    // The conditions that are on, in the same order, each with the line of its start.
    QList<ActiveAlert> active() const;

    // The limit hysteresis described above.
    static double hysteresis(const Grenzwert &limit);

private:
    struct Condition
    {
        QDateTime since;
        QString text;
        // Limits: +1 above the Maximum, -1 below the Minimum; others: 1 while on. 0 is off.
        int side = 0;
    };

    void checkDevices(const Registry &registry, const PollingState &polling, const QDateTime &now,
                      QList<AlertEvent> &events);
    void checkLimits(const Registry &registry, const QList<Mittelwert> &averages,
                     QList<AlertEvent> &events);
    void checkStore(const StoreState &store, const QDateTime &now, QList<AlertEvent> &events);

    std::vector<Grenzwert> m_limits;
    std::vector<Condition> m_devices;
    std::vector<Condition> m_sensors;
    Condition m_store;
    qint32 m_failuresInRow;
    qint32 m_storeMinutes;
};
