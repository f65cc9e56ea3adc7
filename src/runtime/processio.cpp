#include "processio.h"

#include <QFile>

namespace ProcessIo {

std::optional<qint64> writtenBytes()
{
#ifdef Q_OS_LINUX
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("write_bytes:")) {
            bool ok = false;
            const qint64 bytes = line.mid(12).trimmed().toLongLong(&ok);
            return ok ? std::optional<qint64>(bytes) : std::nullopt;
        }
    }
#endif
    return std::nullopt;
}

} // namespace ProcessIo
