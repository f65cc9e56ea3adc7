#pragma once

#include "storage/settingrows.h"

#include <QList>
#include <QString>

// The files of the page's logins and of its TLS; each empty when not asked for.
struct StatusFiles
{
    // Users and their password hashes, as htpasswd writes them (PageUsers).
    QString users;
    // A certificate (with its chain) and its key, in PEM; both or neither.
    QString cert;
    QString key;
};

// The status page's rows of Einstellungen. The command line wins over each of them.
struct StatusSettings
{
    // StatusAdresse: where the page listens ("127.0.0.1:8080", a bare port for loopback); empty
    // leaves the page off.
    QString StatusAdresse;
    // StatusBenutzer, StatusZertifikat, StatusSchluessel: the files, relative to the database's
    // folder unless absolute.
    StatusFiles files;

    // The files of the command line where given, the rows' otherwise; relative names of rows
    // taken from the folder of databaseName when that is a file.
    StatusFiles filesWith(const StatusFiles &commandLine, const QString &databaseName) const;

    static QList<SettingRows::Name> settingNames();
    static StatusSettings fromSettings(const SettingRows &rows);
};
