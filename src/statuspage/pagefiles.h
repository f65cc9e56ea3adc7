#pragma once

#include <QByteArray>
#include <QString>

// The files the page is given to read (its users, its certificate and key): read whole, with
// the same bounds and the same messages for each.
namespace PageFiles {

// The file's bytes. Throws RuntimeError naming what and the file when it cannot be read, is no
// regular file or is larger than Bounds::kPageFileBytes.
QByteArray read(const QString &path, const QString &what);

// The warning for a file that users other than its owner and group may read (a key, hashes):
// empty when there is none.
QString othersMayRead(const QString &path, const QString &what);

} // namespace PageFiles
