#include "alerts.h"

#include "alertmessage.h"
#include "alertsettings.h"
#include "runtime/journal.h"
#include "storage/database.h"
#include "storage/registry.h"

#include <QSysInfo>

std::unique_ptr<Alerts> Alerts::create(const Registry &registry, const AlertSettings &settings,
                                       CurlDriver &driver, const AlertTiming &timing)
{
    if (!settings.eingestellt) {
        return nullptr;
    }
    return std::unique_ptr<Alerts>(
        new Alerts(registry, settings, GrenzwerteLesen(registry), driver, timing));
}

Alerts::Alerts(const Registry &registry, const AlertSettings &settings,
               const QHash<qint32, Grenzwert> &limits, CurlDriver &driver,
               const AlertTiming &timing)
    : m_conditions(registry, limits, settings.AlarmNachFehlern, settings.AlarmSpeicherMinuten),
      m_host(QSysInfo::machineHostName()),
      m_databaseName(registry.Datenbank ? registry.Datenbank->path() : QString()),
      m_mailFrom(settings.AlarmMailVon), m_mailTo(mailRecipients(settings.AlarmMailAn))
{
    if (!settings.AlarmMailServer.isEmpty()) {
        m_mail = std::make_unique<AlertChannel>(driver, AlertChannel::Kind::Mail,
                                                settings.AlarmMailServer, m_mailFrom, m_mailTo,
                                                timing, Journal::write);
    }
    if (!settings.AlarmWebhook.isEmpty()) {
        m_webhook = std::make_unique<AlertChannel>(driver, AlertChannel::Kind::Webhook,
                                                   settings.AlarmWebhook, QString(), QStringList(),
                                                   timing, Journal::write);
    }
}

Alerts::~Alerts() = default;

QStringList Alerts::afterPass(const Registry &registry, const PollingState &polling,
                              const QList<Mittelwert> &averages, const StoreState &store,
                              const QDateTime &now)
{
    const QList<AlertEvent> events = m_conditions.update(registry, polling, averages, store, now);
    QStringList lines;
    for (const AlertEvent &event : events) {
        lines << alertLine(event);
        Journal::write(event.begins ? Journal::Priority::Warning : Journal::Priority::Notice,
                       lines.constLast());
    }
    if (events.isEmpty()) {
        return lines;
    }
    const QString summary = alertSubject(events, m_host);
    if (m_mail) {
        m_mail->send(mailMessage(events, m_host, m_databaseName, m_mailFrom, m_mailTo, now),
                     summary);
    }
    if (m_webhook) {
        m_webhook->send(webhookBody(events, m_host), summary);
    }
    return lines;
}

qint64 Alerts::undelivered() const
{
    return (m_mail ? m_mail->undelivered() : 0) + (m_webhook ? m_webhook->undelivered() : 0);
}

qsizetype Alerts::waiting() const
{
    return (m_mail ? m_mail->waiting() : 0) + (m_webhook ? m_webhook->waiting() : 0);
}
