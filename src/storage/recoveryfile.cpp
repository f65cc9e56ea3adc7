#include "recoveryfile.h"

#include "dbbackend.h"
#include "pendingrows.h"
#include "runtime/runtimeerror.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cmath>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kHeader = QStringLiteral("SensorNummer;Zeit;MessWert");
const QString kZeitFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

struct FileRow
{
    qint32 sensorNummer;
    QDateTime zeit;
    double wert;
};

bool parseRow(const QString &line, FileRow &row)
{
    const QStringList fields = line.split(QLatin1Char(';'));
    if (fields.size() != 3) {
        return false;
    }
    bool sensorOk = false;
    bool wertOk = false;
    row.sensorNummer = fields.at(0).toInt(&sensorOk);
    row.zeit = QDateTime::fromString(fields.at(1), kZeitFormat);
    row.wert = fields.at(2).toDouble(&wertOk);
    return sensorOk && wertOk && std::isfinite(row.wert) && row.zeit.isValid();
}

// The rename is only durable once the folder's entry is on disk as well.
void syncFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

QString recoveryFilePath(const QString &databasePath)
{
    if (DbBackend::namesFile(databasePath)) {
        return databasePath + QStringLiteral(".ausstehend");
    }
    // A server has no folder of its own: the service's state folder, else the working folder,
    // with a name that tells the databases of several loggers apart.
    const QString folder =
        qEnvironmentVariableIsEmpty("STATE_DIRECTORY")
            ? QDir::currentPath()
            : qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    const QByteArray hash =
        QCryptographicHash::hash(databasePath.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    return folder + QStringLiteral("/Messwerte-") + QString::fromLatin1(hash)
           + QStringLiteral(".ausstehend");
}

void writeRecoveryFile(const QString &path, const PendingRows &rows)
{
    QSaveFile file(path);
    QByteArray text = kHeader.toUtf8() + '\n';
    bool ok = file.open(QIODevice::WriteOnly);
    for (qsizetype i = 0; ok && i < rows.size(); ++i) {
        const PendingRows::Row &row = rows.at(i);
        text += QByteArray::number(row.sensorNummer) + ';'
                + PendingRows::zeitOf(row).toString(kZeitFormat).toUtf8() + ';'
                + QByteArray::number(row.wert, 'g', 17) + '\n';
        if (text.size() > 65536) {
            ok = file.write(text) == text.size();
            text.clear();
        }
    }
    // commit() flushes the temporary file to disk before it renames it.
    ok = ok && file.write(text) == text.size() && file.commit();
    if (!ok) {
        throw RuntimeError(ErrorNumber::DiskOrNetworkError,
                           QStringLiteral("Die Datei '%1' kann nicht geschrieben werden: %2")
                               .arg(path, file.errorString()));
    }
    syncFolder(path);
}

bool readRecoveryFile(const QString &path, PendingRows &rows)
{
    QFile file(path);
    if (!file.exists()) {
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("Die Datei '%1' mit noch nicht gespeicherten Messwerten "
                                          "kann nicht gelesen werden: %2")
                               .arg(path, file.errorString()));
    }
    std::vector<FileRow> read;
    qint64 lineNumber = 0;
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        ++lineNumber;
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
        FileRow row{};
        const bool fits = lineNumber == 1 ? line == kHeader : parseRow(line, row);
        if (!fits) {
            throw RuntimeError(
                ErrorNumber::TypeMismatch,
                QStringLiteral("Die Datei '%1' mit noch nicht gespeicherten Messwerten ist in "
                               "Zeile %2 unlesbar: '%3'. Sie bleibt unverändert; bitte "
                               "berichtigen oder beiseitelegen, dann neu starten.")
                    .arg(path)
                    .arg(lineNumber)
                    .arg(line.left(200)));
        }
        if (lineNumber > 1) {
            read.push_back(row);
        }
    }
    for (const FileRow &row : read) {
        rows.append(row.sensorNummer, row.zeit, row.wert);
    }
    return true;
}
