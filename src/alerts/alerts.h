#pragma once

#include "alertchannel.h"
#include "alertconditions.h"
#include "alertsettings.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class CurlDriver;
class PollingState;
struct Mittelwert;
struct Registry;
struct StoreState;

// The alerts of a run: the conditions of AlertConditions, and where their starts and ends go.
// Each goes to the pass log (the lines afterPass returns), to stderr (with the sd-daemon
// priority 4 for a start and 5 for an end when stderr is the journal), to the status page
// (conditions()), and, where set, by mail and to a webhook. All events of one pass make one
// message. Sending never waits: it runs on the event loop (see AlertChannel).
//
// Off, and nothing checked, read or sent, unless Einstellungen holds an Alarm row.
class Alerts
{
public:
    // Null without any Alarm row. Otherwise reads Grenzwerte (GrenzwerteLesen); a wrong value is
    // a RuntimeError. settings are checked already (AlertSettings::fromSettings). driver runs the
    // sending and must outlive the alerts.
    static std::unique_ptr<Alerts> create(const Registry &registry, const AlertSettings &settings,
                                          CurlDriver &driver,
                                          const AlertTiming &timing = AlertTiming());
    // Messages still waiting are not waited for; stderr says how many.
    ~Alerts();
    Alerts(const Alerts &) = delete;
    Alerts &operator=(const Alerts &) = delete;

    // After a tick that ran a polling pass: the registry and polling state after it, the
    // averages its store formed (empty without a store), the store's state and the time. Returns
    // one line per alert that began or ended ("Alarm: ...", "Entwarnung: ..."), empty when
    // nothing did, and queues the pass's message.
    QStringList afterPass(const Registry &registry, const PollingState &polling,
                          const QList<Mittelwert> &averages, const StoreState &store,
                          const QDateTime &now);

    // What the status page shows: the conditions that are on, and the messages that could not
    // be delivered at all (given up or dropped).
    QList<ActiveAlert> conditions() const { return m_conditions.active(); }
    qint64 undelivered() const;
    // Messages waiting or in flight, mail and webhook together.
    qsizetype waiting() const;

private:
    Alerts(const Registry &registry, const AlertSettings &settings,
           const QHash<qint32, Grenzwert> &limits, CurlDriver &driver, const AlertTiming &timing);

    AlertConditions m_conditions;
    QString m_host;
    QString m_databaseName;
    QString m_mailFrom;
    QStringList m_mailTo;
    std::unique_ptr<AlertChannel> m_mail;
    std::unique_ptr<AlertChannel> m_webhook;
};
