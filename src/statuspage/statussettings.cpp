#include "statussettings.h"

QList<SettingRows::Name> StatusSettings::settingNames()
{
    return {{QStringLiteral("StatusAdresse"), SettingRows::Kind::Text}};
}

StatusSettings StatusSettings::fromSettings(const SettingRows &rows)
{
    StatusSettings settings;
    settings.StatusAdresse = rows.text(QStringLiteral("StatusAdresse")).trimmed();
    return settings;
}
