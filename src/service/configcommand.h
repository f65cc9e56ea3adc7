#pragma once

#include <QString>

// --export-config FILE and --import-config FILE: the configuration document (configdocument.h)
// of the database written to FILE, or read from FILE into the database. Neither starts polling.
// The exit code: 0 done, 1 failed (the message on stderr names the file or the database).
int exportConfigurationTo(const QString &databasePath, const QString &file);
int importConfigurationFrom(const QString &databasePath, const QString &file);
