#include "durablefile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kChunkBytes = 64 * 1024;

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// The rename or the new file is only durable once the folder's entry is on disk as well.
bool syncFolderOf(const QString &path)
{
    const int fd = ::open(encoded(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

} // namespace

DurableFile::DurableFile(QString path, Mode mode) : m_path(std::move(path)), m_mode(mode)
{
    m_writtenPath = mode == Mode::Replace ? m_path + QStringLiteral(".neu") : m_path;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == Mode::Replace ? O_TRUNC : 0);
    m_fd = ::open(encoded(m_writtenPath).constData(), flags, 0644);
    if (m_fd < 0) {
        fail("open");
        return;
    }
    struct stat info = {};
    if (::fstat(m_fd, &info) != 0) {
        fail("fstat");
        return;
    }
    m_startSize = mode == Mode::Append ? qint64(info.st_size) : 0;
    if (mode == Mode::Append && ::lseek(m_fd, 0, SEEK_END) < 0) {
        fail("lseek");
    }
}

DurableFile::~DurableFile()
{
    if (!m_committed) {
        abandon();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool DurableFile::write(const QByteArray &bytes)
{
    if (!m_error.isEmpty()) {
        return false;
    }
    m_buffer += bytes;
    return m_buffer.size() < kChunkBytes || flushBuffer();
}

bool DurableFile::flushBuffer()
{
    const char *data = m_buffer.constData();
    qsizetype left = m_buffer.size();
    while (left > 0) {
        const ssize_t done = ::write(m_fd, data, std::size_t(left));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            if (done == 0) {
                errno = ENOSPC;
            }
            return fail("write");
        }
        data += done;
        left -= done;
        m_written += done;
    }
    m_buffer.clear();
    return true;
}

bool DurableFile::commit()
{
    if (!m_error.isEmpty() || !flushBuffer()) {
        return false;
    }
    if (!writtenWhole()) {
        return false;
    }
    if (m_onWritten) {
        m_onWritten();
    }
    if (::fsync(m_fd) != 0) {
        return fail("fsync");
    }
    if (m_mode == Mode::Replace
        && ::rename(encoded(m_writtenPath).constData(), encoded(m_path).constData()) != 0) {
        return fail("rename");
    }
    if (!syncFolderOf(m_path)) {
        return fail("fsync");
    }
    m_committed = true;
    m_synced = true;
    return true;
}

bool DurableFile::commitWithin(int syncWaitMs)
{
    if (!m_error.isEmpty() || !flushBuffer() || !writtenWhole()) {
        return false;
    }
    if (m_mode == Mode::Replace
        && ::rename(encoded(m_writtenPath).constData(), encoded(m_path).constData()) != 0) {
        return fail("rename");
    }
    m_committed = true;
    // The thread owns what it syncs; it may outlive this writer, and the program.
    struct Sync
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool ok = false;
    };
    auto sync = std::make_shared<Sync>();
    const int fd = ::dup(m_fd);
    if (fd < 0) {
        return true;
    }
    std::thread([sync, fd, path = m_path] {
        const bool ok = ::fsync(fd) == 0 && syncFolderOf(path);
        ::close(fd);
        const std::lock_guard<std::mutex> lock(sync->mutex);
        sync->finished = true;
        sync->ok = ok;
        sync->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(sync->mutex);
    sync->done.wait_for(lock, std::chrono::milliseconds(std::max(syncWaitMs, 0)),
                        [&] { return sync->finished; });
    m_synced = sync->finished && sync->ok;
    return true;
}

bool DurableFile::writtenWhole()
{
    struct stat info = {};
    if (::fstat(m_fd, &info) != 0) {
        return fail("fstat");
    }
    if (qint64(info.st_size) != m_startSize + m_written) {
        m_error = QStringLiteral("die Datei ist %1 statt %2 Bytes lang")
                      .arg(qint64(info.st_size))
                      .arg(m_startSize + m_written);
        return false;
    }
    return true;
}

bool DurableFile::fail(const char *step)
{
    if (m_error.isEmpty()) {
        m_error = QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(std::strerror(errno)),
                                                QString::fromLatin1(step));
    }
    return false;
}

void DurableFile::abandon()
{
    if (m_fd < 0) {
        return;
    }
    if (m_mode == Mode::Replace) {
        ::unlink(encoded(m_writtenPath).constData());
        return;
    }
    // Cut back to where this writer began; a file that was new goes again.
    if (::ftruncate(m_fd, m_startSize) == 0 && m_startSize == 0) {
        ::unlink(encoded(m_path).constData());
    }
}

QString removeDurably(const QStringList &paths)
{
    QString failure;
    bool removed = false;
    for (const QString &path : paths) {
        if (::unlink(encoded(path).constData()) == 0) {
            removed = true;
        } else if (errno != ENOENT && failure.isEmpty()) {
            failure = QString::fromLocal8Bit(std::strerror(errno));
        }
    }
    if (removed && !paths.isEmpty() && !syncFolderOf(paths.constFirst()) && failure.isEmpty()) {
        failure = QString::fromLocal8Bit(std::strerror(errno));
    }
    return failure;
}
