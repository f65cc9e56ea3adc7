#include "pagefiles.h"

#include "runtime/bounds.h"
#include "runtime/runtimeerror.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace PageFiles {

QByteArray read(const QString &path, const QString &what)
{
    QFile file(path);
    const auto failed = [&](const QString &reason) {
        return RuntimeError(
            ErrorNumber::CannotOpenFile,
            QStringLiteral("%1 '%2' kann nicht gelesen werden: %3.").arg(what, path, reason));
    };
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        throw failed(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!S_ISREG(status.st_mode)) {
        throw failed(QStringLiteral("keine gewöhnliche Datei"));
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw failed(file.errorString());
    }
    // One byte more than allowed tells a file that is too large from one that just fits, also
    // when it grows while it is read.
    QByteArray bytes = file.read(Bounds::kPageFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        throw failed(file.errorString());
    }
    if (bytes.size() > Bounds::kPageFileBytes) {
        throw failed(QStringLiteral("größer als %1 kB").arg(Bounds::kPageFileBytes / 1024));
    }
    return bytes;
}

QString othersMayRead(const QString &path, const QString &what)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !(status.st_mode & S_IROTH)) {
        return {};
    }
    return QStringLiteral("%1 '%2' ist für alle Benutzer lesbar; besser nur für den Benutzer des "
                          "Programms (chmod o-r).")
        .arg(what, path);
}

} // namespace PageFiles
