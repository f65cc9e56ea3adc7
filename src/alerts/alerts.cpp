#include "alerts.h"

#include "alertmessage.h"
#include "alertsettings.h"
#include "storage/database.h"
#include "storage/registry.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <cstdio>

namespace {

// sd-daemon(3) levels.
constexpr int kWarning = 4;
constexpr int kNotice = 5;

// stderr as the journal reads it: a priority prefix when systemd connected stderr to it, plain
// lines otherwise.
void writeStderr(int priority, const QString &line)
{
    static const bool journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    QByteArray text =
        QStringLiteral("%1: %2\n").arg(QCoreApplication::applicationName(), line).toLocal8Bit();
    if (journal) {
        text.prepend('<' + QByteArray::number(priority) + '>');
    }
    std::fputs(text.constData(), stderr);
    std::fflush(stderr);
}

} // namespace

std::unique_ptr<Alerts> Alerts::create(const Registry &registry, CurlDriver &driver,
                                       const AlertTiming &timing)
{
    if (!registry.AlarmEingestellt) {
        return nullptr;
    }
    checkAlertSettings(registry);
    return std::unique_ptr<Alerts>(new Alerts(registry, GrenzwerteLesen(registry), driver, timing));
}

Alerts::Alerts(const Registry &registry, const QHash<qint32, Grenzwert> &limits, CurlDriver &driver,
               const AlertTiming &timing)
    : m_conditions(registry, limits, registry.AlarmNachFehlern, registry.AlarmSpeicherMinuten),
      m_host(QSysInfo::machineHostName()),
      m_databaseName(registry.Datenbank ? registry.Datenbank->path() : QString()),
      m_mailFrom(registry.AlarmMailVon), m_mailTo(mailRecipients(registry.AlarmMailAn))
{
    if (!registry.AlarmMailServer.isEmpty()) {
        m_mail = std::make_unique<AlertChannel>(driver, AlertChannel::Kind::Mail,
                                                registry.AlarmMailServer, m_mailFrom, m_mailTo,
                                                timing, writeStderr);
    }
    if (!registry.AlarmWebhook.isEmpty()) {
        m_webhook = std::make_unique<AlertChannel>(driver, AlertChannel::Kind::Webhook,
                                                   registry.AlarmWebhook, QString(), QStringList(),
                                                   timing, writeStderr);
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
        writeStderr(event.begins ? kWarning : kNotice, lines.constLast());
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
