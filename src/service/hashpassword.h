#pragma once

#include <QString>

// --hash-password NAME: reads a password from stdin (asked for twice, without echo, on a
// terminal; one line as it stands otherwise, for scripts) and prints "NAME:HASH", a line for the
// status page's users file, hashed with bcrypt as htpasswd -B does. The exit code: 0 printed,
// 1 no password or the two did not match.
int printPasswordLine(const QString &name);
