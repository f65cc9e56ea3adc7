#pragma once

#include <QStringList>

struct Registry;

// The Alarm rows of Einstellungen, which EinstellungenLesen has copied into the registry, checked
// once at start-up. Each wrong value is a RuntimeError that names the table, the row and the
// column, as the loaders' errors do:
//  - AlarmNachFehlern 1 to 10000 passes, AlarmSpeicherMinuten 0 to 10080 minutes (a week);
//  - AlarmMailServer an smtp:// or smtps:// URL with a host, AlarmMailVon one address,
//    AlarmMailAn one or more; the three go together;
//  - AlarmWebhook an http:// or https:// URL with a host;
//  - no password in either URL: it belongs in the netrc file, not in the database.
// An address is a plain local@domain in ASCII, so none can carry a line break into a mail header.
void checkAlertSettings(const Registry &registry);

// The addresses of AlarmMailAn, which separates them by commas, semicolons or blanks.
QStringList mailRecipients(const QString &text);
