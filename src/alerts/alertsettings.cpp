#include "alertsettings.h"

#include "storage/settingrows.h"

#include <QRegularExpression>
#include <QUrl>

namespace {

void checkRange(const SettingRows &rows, const QString &parameter, qint32 value, qint32 lowest,
                qint32 highest, const QString &unit)
{
    if (value < lowest || value > highest) {
        rows.wrong(parameter, QStringLiteral("%1 muss zwischen %2 und %3 %4 liegen, nicht bei %5.")
                                  .arg(parameter)
                                  .arg(lowest)
                                  .arg(highest)
                                  .arg(unit)
                                  .arg(value));
    }
}

void checkUrl(const SettingRows &rows, const QString &parameter, const QString &text,
              const QStringList &schemes, const QString &form)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.password().isEmpty()) {
        QUrl shown = url;
        shown.setPassword(QStringLiteral("***"));
        rows.wrong(
            parameter,
            QStringLiteral("Die Adresse '%1' enthält ein Passwort. In der Datenbank kann es "
                           "jeder lesen, der sie lesen kann; es gehört in die netrc-Datei "
                           "(im Verzeichnis CREDENTIALS_DIRECTORY des Dienstes oder ~/.netrc).")
                .arg(shown.toString()));
    }
    if (!url.isValid() || !schemes.contains(url.scheme()) || url.host().isEmpty()
        || (parameter == QLatin1String("AlarmMailServer")
            && (url.hasQuery() || url.hasFragment()))) {
        rows.wrong(parameter,
                   QStringLiteral("'%1' ist keine gültige Adresse (%2).").arg(text, form));
    }
}

bool isAddress(const QString &text)
{
    static const QRegularExpression address(QStringLiteral(
        "^[A-Za-z0-9.!#$%&'*+/=?^_`{|}~-]+@[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    return address.match(text).hasMatch();
}

void checkMail(const SettingRows &rows, const AlertSettings &settings)
{
    const QString server = QStringLiteral("AlarmMailServer");
    const QString von = QStringLiteral("AlarmMailVon");
    const QString an = QStringLiteral("AlarmMailAn");
    const auto missing = [&](const QString &given, const QString &absent) {
        rows.wrong(given,
                   QStringLiteral("Zu %1 fehlt die Zeile '%2' (E-Mail braucht AlarmMailServer, "
                                  "AlarmMailVon und AlarmMailAn).")
                       .arg(given, absent));
    };
    const bool hasServer = !settings.AlarmMailServer.isEmpty();
    const bool hasVon = !settings.AlarmMailVon.isEmpty();
    const bool hasAn = !settings.AlarmMailAn.isEmpty();
    if (!hasServer && (hasVon || hasAn)) {
        missing(hasVon ? von : an, server);
    }
    if (!hasServer) {
        return;
    }
    checkUrl(rows, server, settings.AlarmMailServer,
             {QStringLiteral("smtp"), QStringLiteral("smtps")},
             QStringLiteral("smtp://rechner[:port] oder smtps://rechner[:port]"));
    if (!hasVon || !hasAn) {
        missing(server, hasVon ? an : von);
    }
    if (!isAddress(settings.AlarmMailVon)) {
        rows.wrong(von, QStringLiteral("'%1' ist keine E-Mail-Adresse (name@domain).")
                            .arg(settings.AlarmMailVon));
    }
    const QStringList recipients = mailRecipients(settings.AlarmMailAn);
    for (const QString &recipient : recipients) {
        if (!isAddress(recipient)) {
            rows.wrong(an,
                       QStringLiteral("'%1' ist keine E-Mail-Adresse (name@domain, mehrere durch "
                                      "Komma getrennt).")
                           .arg(recipient));
        }
    }
    if (recipients.isEmpty()) {
        rows.wrong(an, QStringLiteral("AlarmMailAn nennt keine E-Mail-Adresse."));
    }
}

} // namespace

QList<SettingRows::Name> AlertSettings::settingNames()
{
    QList<SettingRows::Name> names;
    for (const char *name : {"AlarmNachFehlern", "AlarmSpeicherMinuten"}) {
        names.append({QString::fromLatin1(name), SettingRows::Kind::Number});
    }
    for (const char *name : {"AlarmMailServer", "AlarmMailVon", "AlarmMailAn", "AlarmWebhook"}) {
        names.append({QString::fromLatin1(name), SettingRows::Kind::Text});
    }
    return names;
}

AlertSettings AlertSettings::fromSettings(const SettingRows &rows)
{
    AlertSettings settings;
    settings.eingestellt = rows.anyStartingWith(QStringLiteral("Alarm"));
    if (!settings.eingestellt) {
        return settings;
    }
    settings.AlarmNachFehlern =
        rows.number(QStringLiteral("AlarmNachFehlern"), settings.AlarmNachFehlern);
    settings.AlarmSpeicherMinuten =
        rows.number(QStringLiteral("AlarmSpeicherMinuten"), settings.AlarmSpeicherMinuten);
    settings.AlarmMailServer = rows.text(QStringLiteral("AlarmMailServer"));
    settings.AlarmMailVon = rows.text(QStringLiteral("AlarmMailVon"));
    settings.AlarmMailAn = rows.text(QStringLiteral("AlarmMailAn"));
    settings.AlarmWebhook = rows.text(QStringLiteral("AlarmWebhook"));
    checkRange(rows, QStringLiteral("AlarmNachFehlern"), settings.AlarmNachFehlern, 1, 10000,
               QStringLiteral("Abfragen"));
    checkRange(rows, QStringLiteral("AlarmSpeicherMinuten"), settings.AlarmSpeicherMinuten, 0,
               10080, QStringLiteral("Minuten"));
    checkMail(rows, settings);
    if (!settings.AlarmWebhook.isEmpty()) {
        checkUrl(rows, QStringLiteral("AlarmWebhook"), settings.AlarmWebhook,
                 {QStringLiteral("http"), QStringLiteral("https")},
                 QStringLiteral("http://... oder https://..."));
    }
    return settings;
}

QStringList mailRecipients(const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}
