#include "recoveryfile.h"

#include "dbbackend.h"
#include "durablefile.h"
#include "runtime/runtimeerror.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace {

const QByteArray kHeader = QByteArrayLiteral("SensorNummer;Zeit;MessWert");
const QString kSuffix = QStringLiteral(".ausstehend");
// Longer lines are no rows; reading them in pieces keeps memory bounded whatever the file holds.
constexpr qint64 kMaxLineBytes = 1024;

QString write(DurableFile &file, const std::deque<WerteRow> &rows, std::size_t from, std::size_t to,
              bool header, int syncWaitMs, const std::function<void()> &written)
{
    file.onWritten(written);
    bool ok = !header || file.write(kHeader + '\n');
    for (std::size_t i = from; ok && i < to; ++i) {
        ok = file.write(rows[i].line() + '\n');
    }
    ok = ok && (syncWaitMs < 0 ? file.commit() : file.commitWithin(syncWaitMs));
    return ok ? QString() : file.errorString();
}

} // namespace

bool RecoveryFile::exists() const
{
    return !m_path.isEmpty() && QFile::exists(m_path);
}

RecoveryFile::Contents RecoveryFile::read(qsizetype capacity) const
{
    Contents contents;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("Die Datei '%1' mit noch nicht gespeicherten Messwerten "
                                          "kann nicht gelesen werden: %2")
                               .arg(m_path, file.errorString()));
    }
    qint64 lineNumber = 0;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(kMaxLineBytes);
        ++lineNumber;
        const bool ended = line.endsWith('\n');
        while (line.endsWith('\n') || line.endsWith('\r')) {
            line.chop(1);
        }
        if (!ended && file.atEnd() && lineNumber > 1) {
            contents.unfinished = true;
            break;
        }
        WerteRow row{};
        const bool fits = lineNumber == 1 ? line == kHeader : WerteRow::fromLine(line, &row);
        if (!fits) {
            throw RuntimeError(
                ErrorNumber::TypeMismatch,
                QStringLiteral("Die Datei '%1' mit noch nicht gespeicherten Messwerten ist in "
                               "Zeile %2 unlesbar: '%3'. Sie bleibt unverändert; bitte "
                               "berichtigen oder beiseitelegen, dann neu starten.")
                    .arg(m_path)
                    .arg(lineNumber)
                    .arg(QString::fromUtf8(line.left(200))));
        }
        if (lineNumber == 1) {
            continue;
        }
        ++contents.lines;
        if (qsizetype(contents.rows.size()) >= capacity) {
            contents.rows.pop_front();
            ++contents.dropped;
        }
        contents.rows.push_back(row);
    }
    return contents;
}

QString RecoveryFile::append(const std::deque<WerteRow> &rows, std::size_t from, std::size_t to,
                             int syncWaitMs, const std::function<void()> &written) const
{
    if (m_path.isEmpty()) {
        return QStringLiteral("kein Dateiname");
    }
    DurableFile file(m_path, DurableFile::Mode::Append);
    return write(file, rows, from, to, file.startSize() == 0, syncWaitMs, written);
}

QString RecoveryFile::rewrite(const std::deque<WerteRow> &rows, std::size_t from, std::size_t to,
                              const std::function<void()> &written) const
{
    if (m_path.isEmpty()) {
        return QStringLiteral("kein Dateiname");
    }
    DurableFile file(m_path, DurableFile::Mode::Replace);
    return write(file, rows, from, to, true, -1, written);
}

QString recoveryFilePath(const QString &databaseName)
{
    if (DbBackend::namesFile(databaseName)) {
        return databaseName + kSuffix;
    }
    // A server has no folder of its own: the service's state folder, else the working folder,
    // with a name that tells the databases of several loggers apart.
    const QString folder =
        qEnvironmentVariableIsEmpty("STATE_DIRECTORY")
            ? QDir::currentPath()
            : qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    const QByteArray hash =
        QCryptographicHash::hash(databaseName.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    return folder + QStringLiteral("/Messwerte-") + QString::fromLatin1(hash) + kSuffix;
}

QString refusedFilePath(const QString &recoveryFile)
{
    return recoveryFile.left(recoveryFile.size() - kSuffix.size()) + QStringLiteral(".abgelehnt");
}

QString commitRecordPath(const QString &recoveryFile)
{
    return recoveryFile + QStringLiteral(".laufend");
}
