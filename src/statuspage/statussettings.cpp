#include "statussettings.h"

#include <QDir>
#include <QFileInfo>

QList<SettingRows::Name> StatusSettings::settingNames()
{
    return {{QStringLiteral("StatusAdresse"), SettingRows::Kind::Text},
            {QStringLiteral("StatusBenutzer"), SettingRows::Kind::Text},
            {QStringLiteral("StatusZertifikat"), SettingRows::Kind::Text},
            {QStringLiteral("StatusSchluessel"), SettingRows::Kind::Text}};
}

StatusSettings StatusSettings::fromSettings(const SettingRows &rows)
{
    StatusSettings settings;
    settings.StatusAdresse = rows.text(QStringLiteral("StatusAdresse")).trimmed();
    settings.files.users = rows.text(QStringLiteral("StatusBenutzer")).trimmed();
    settings.files.cert = rows.text(QStringLiteral("StatusZertifikat")).trimmed();
    settings.files.key = rows.text(QStringLiteral("StatusSchluessel")).trimmed();
    return settings;
}

StatusFiles StatusSettings::filesWith(const StatusFiles &commandLine,
                                      const QString &databaseName) const
{
    // A server's connection string names no folder: then the working directory's.
    const QFileInfo database(databaseName);
    const QDir folder = database.isFile() ? database.absoluteDir() : QDir::current();
    const auto pick = [&folder](const QString &given, const QString &row) {
        if (!given.isEmpty()) {
            return given;
        }
        return row.isEmpty() ? row : QDir::cleanPath(folder.absoluteFilePath(row));
    };
    return StatusFiles{pick(commandLine.users, files.users), pick(commandLine.cert, files.cert),
                       pick(commandLine.key, files.key)};
}
