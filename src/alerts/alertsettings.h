#pragma once

#include "storage/settingrows.h"

#include <QList>
#include <QString>
#include <QStringList>

// The Alarm rows of Einstellungen, with their defaults, checked once at start-up. Each wrong
// value is a RuntimeError that names the table, the row and the column, as the loaders' errors
// do:
//  - AlarmNachFehlern 1 to 10000 passes, AlarmSpeicherMinuten 0 to 10080 minutes (a week);
//  - AlarmMailServer an smtp:// or smtps:// URL with a host, AlarmMailVon one address,
//    AlarmMailAn one or more; the three go together;
//  - AlarmWebhook an http:// or https:// URL with a host;
//  - no password in either URL: it belongs in the netrc file, not in the database.
// An address is a plain local@domain in ASCII, so none can carry a line break into a mail header.
struct AlertSettings
{
    // A device failing this many passes in a row, the store failing this many minutes.
    qint32 AlarmNachFehlern = 5;
    qint32 AlarmSpeicherMinuten = 10;
    // Where messages go: an SMTP server with sender and recipients, a webhook URL; empty when
    // not set.
    QString AlarmMailServer;
    QString AlarmMailVon;
    QString AlarmMailAn;
    QString AlarmWebhook;
    // Whether any Alarm row is in Einstellungen: without one, alerts stay off.
    bool eingestellt = false;

    static QList<SettingRows::Name> settingNames();
    static AlertSettings fromSettings(const SettingRows &rows);
};

// The addresses of AlarmMailAn, which separates them by commas, semicolons or blanks.
QStringList mailRecipients(const QString &text);
