#include "journal.h"

#include <QCoreApplication>
#include <QList>

#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex g_mutex;
std::FILE *g_target = nullptr;
QByteArray g_programName = QByteArrayLiteral("pelvaro");

// JOURNAL_STREAM is "device:inode" of the stream systemd connected; a child whose stderr was
// redirected elsewhere inherits the variable, so the stream itself must match.
bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    struct stat info = {};
    if (colon <= 0 || ::fstat(STDERR_FILENO, &info) != 0) {
        return false;
    }
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    return deviceOk && inodeOk && device == qulonglong(info.st_dev)
           && inode == qulonglong(info.st_ino);
}

QByteArray programName()
{
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? g_programName : name.toLocal8Bit();
}

void emitLines(Journal::Priority priority, const QByteArray &name, const QByteArray &lines)
{
    static const bool journal = stderrIsJournal();
    std::FILE *target = g_target != nullptr ? g_target : stderr;
    const bool prefixed = journal && g_target == nullptr;
    QByteArray text;
    // A text that ends with a line break has no empty line after it.
    const QByteArray whole = lines.endsWith('\n') ? lines.left(lines.size() - 1) : lines;
    for (const QByteArray &line : whole.split('\n')) {
        if (prefixed) {
            text += '<' + QByteArray::number(int(priority)) + '>';
        }
        text += name + line + '\n';
    }
    std::fwrite(text.constData(), 1, std::size_t(text.size()), target);
    std::fflush(target);
}

} // namespace

namespace Journal {

void write(Priority priority, const QString &text)
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    const QByteArray name = programName() + ": ";
    emitLines(priority, name, text.toLocal8Bit());
}

void writeLines(Priority priority, const QByteArray &lines)
{
    if (lines.isEmpty()) {
        return;
    }
    const std::lock_guard<std::mutex> lock(g_mutex);
    emitLines(priority, QByteArray(), lines);
}

void setProgramName(const QString &name)
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_programName = name.toLocal8Bit();
}

void redirect(std::FILE *target)
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_target = target;
}

QString plain(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control) {
            c = QLatin1Char(' ');
        }
    }
    return text;
}

} // namespace Journal
