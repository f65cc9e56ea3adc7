#include "alertsettings.h"

#include "runtime/runtimeerror.h"
#include "storage/database.h"
#include "storage/datenbankverbindung.h"
#include "storage/recordset.h"
#include "storage/registry.h"

#include <QRegularExpression>
#include <QUrl>
#include <QVariant>

namespace {

const QString kTable = QStringLiteral("Einstellungen");

// The row that EinstellungenLesen took the setting from: the last one with that Parameter. Read
// again only for the message, since the registry keeps values, not rows.
qint32 rowOf(const Registry &registry, const QString &parameter)
{
    std::unique_ptr<Recordset> rows = requireDatabase(registry).OpenRecordset(kTable);
    rows->MoveFirst();
    qint32 row = 0;
    qint32 found = 0;
    while (!rows->Eof()) {
        ++row;
        const QVariant name = rows->field(QStringLiteral("Parameter"));
        if (!name.isNull() && name.toString() == parameter) {
            found = row;
        }
        rows->MoveNext();
    }
    rows->Close();
    return found;
}

[[noreturn]] void wrong(const Registry &registry, const QString &parameter, const QString &why)
{
    throw RuntimeError(ErrorNumber::InvalidArgument, why)
        .withContext(QStringLiteral("Spalte 'Wert'"))
        .withContext(
            QStringLiteral("Tabelle '%1', Zeile %2").arg(kTable).arg(rowOf(registry, parameter)));
}

void checkRange(const Registry &registry, const QString &parameter, qint32 value, qint32 lowest,
                qint32 highest, const QString &unit)
{
    if (value < lowest || value > highest) {
        wrong(registry, parameter,
              QStringLiteral("%1 muss zwischen %2 und %3 %4 liegen, nicht bei %5.")
                  .arg(parameter)
                  .arg(lowest)
                  .arg(highest)
                  .arg(unit)
                  .arg(value));
    }
}

void checkUrl(const Registry &registry, const QString &parameter, const QString &text,
              const QStringList &schemes, const QString &form)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.password().isEmpty()) {
        QUrl shown = url;
        shown.setPassword(QStringLiteral("***"));
        wrong(registry, parameter,
              QStringLiteral("Die Adresse '%1' enthält ein Passwort. In der Datenbank kann es "
                             "jeder lesen, der sie lesen kann; es gehört in die netrc-Datei "
                             "(im Verzeichnis CREDENTIALS_DIRECTORY des Dienstes oder ~/.netrc).")
                  .arg(shown.toString()));
    }
    if (!url.isValid() || !schemes.contains(url.scheme()) || url.host().isEmpty()
        || (parameter == QLatin1String("AlarmMailServer")
            && (url.hasQuery() || url.hasFragment()))) {
        wrong(registry, parameter,
              QStringLiteral("'%1' ist keine gültige Adresse (%2).").arg(text, form));
    }
}

bool isAddress(const QString &text)
{
    static const QRegularExpression address(QStringLiteral(
        "^[A-Za-z0-9.!#$%&'*+/=?^_`{|}~-]+@[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    return address.match(text).hasMatch();
}

void checkMail(const Registry &registry)
{
    const QString server = QStringLiteral("AlarmMailServer");
    const QString von = QStringLiteral("AlarmMailVon");
    const QString an = QStringLiteral("AlarmMailAn");
    const auto missing = [&](const QString &given, const QString &absent) {
        wrong(registry, given,
              QStringLiteral("Zu %1 fehlt die Zeile '%2' (E-Mail braucht AlarmMailServer, "
                             "AlarmMailVon und AlarmMailAn).")
                  .arg(given, absent));
    };
    const bool hasServer = !registry.AlarmMailServer.isEmpty();
    const bool hasVon = !registry.AlarmMailVon.isEmpty();
    const bool hasAn = !registry.AlarmMailAn.isEmpty();
    if (!hasServer && (hasVon || hasAn)) {
        missing(hasVon ? von : an, server);
    }
    if (!hasServer) {
        return;
    }
    checkUrl(registry, server, registry.AlarmMailServer,
             {QStringLiteral("smtp"), QStringLiteral("smtps")},
             QStringLiteral("smtp://rechner[:port] oder smtps://rechner[:port]"));
    if (!hasVon || !hasAn) {
        missing(server, hasVon ? an : von);
    }
    if (!isAddress(registry.AlarmMailVon)) {
        wrong(registry, von,
              QStringLiteral("'%1' ist keine E-Mail-Adresse (name@domain).")
                  .arg(registry.AlarmMailVon));
    }
    const QStringList recipients = mailRecipients(registry.AlarmMailAn);
    for (const QString &recipient : recipients) {
        if (!isAddress(recipient)) {
            wrong(registry, an,
                  QStringLiteral("'%1' ist keine E-Mail-Adresse (name@domain, mehrere durch "
                                 "Komma getrennt).")
                      .arg(recipient));
        }
    }
    if (recipients.isEmpty()) {
        wrong(registry, an, QStringLiteral("AlarmMailAn nennt keine E-Mail-Adresse."));
    }
}

} // namespace

void checkAlertSettings(const Registry &registry)
{
    checkRange(registry, QStringLiteral("AlarmNachFehlern"), registry.AlarmNachFehlern, 1, 10000,
               QStringLiteral("Abfragen"));
    checkRange(registry, QStringLiteral("AlarmSpeicherMinuten"), registry.AlarmSpeicherMinuten, 0,
               10080, QStringLiteral("Minuten"));
    checkMail(registry);
    if (!registry.AlarmWebhook.isEmpty()) {
        checkUrl(registry, QStringLiteral("AlarmWebhook"), registry.AlarmWebhook,
                 {QStringLiteral("http"), QStringLiteral("https")},
                 QStringLiteral("http://... oder https://..."));
    }
}

QStringList mailRecipients(const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}
