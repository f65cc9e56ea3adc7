#pragma once

#include "alerts/activealert.h"
#include "storage/storestate.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

class ConfigurationAccess;
class PollingState;
struct PassOptions;
struct Registry;

// What the status page shows of the running program. ProgramHost implements it; every call comes
// on the window's thread, between two events, so what it returns is consistent.
class StatusSource
{
public:
    struct Stored
    {
        double wert;
        QDateTime zeit;
    };

    virtual ~StatusSource() = default;

    // Devices and sensors by position with names, addresses and the sums and counts of the
    // averages forming; the cycle settings.
    virtual const Registry &registry() const = 0;
    // How the passes fetch (sequentially, or in parallel for so many seconds).
    virtual const PassOptions &passOptions() const = 0;
    virtual const PollingState &polling() const = 0;
    virtual StoreState storeState() const = 0;
    // The latest value this run wrote into Werte for the sensor with this number.
    virtual std::optional<Stored> lastStored(qint32 sensorNummer) const = 0;
    // The log of the latest complete pass as the log box shows it, with CR LF line ends.
    virtual QString passLog() const = 0;
    // The database as messages name it (never with a password: start-up refuses such names).
    virtual QString databaseName() const = 0;
    virtual QDateTime startedAt() const = 0;
    // The alert conditions that are on, and alert messages that could not be delivered at all.
    virtual QList<ActiveAlert> alerts() const = 0;
    virtual qint64 undeliveredAlerts() const = 0;
    // After a reload (SIGHUP): why the configuration read was not taken (empty when it was), and
    // whether one waits to be taken at the next store.
    virtual QString configurationProblem() const { return {}; }
    virtual bool configurationPending() const { return false; }
    // The configuration in the database, for the page's setup part, which is off without it.
    virtual std::shared_ptr<ConfigurationAccess> configurationAccess() const { return {}; }
    // The configuration was saved from the page: read it again and take it at the next store, as
    // after SIGHUP.
    virtual void reloadConfiguration() {}
};
