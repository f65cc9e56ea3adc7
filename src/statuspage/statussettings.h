#pragma once

#include "storage/settingrows.h"

#include <QList>
#include <QString>

// The status page's rows of Einstellungen. The command line wins over each of them.
struct StatusSettings
{
    // StatusAdresse: where the page listens ("127.0.0.1:8080", a bare port for loopback); empty
    // leaves the page off.
    QString StatusAdresse;

    static QList<SettingRows::Name> settingNames();
    static StatusSettings fromSettings(const SettingRows &rows);
};
