#include "logwriter.h"

#include "runtime/processsignals.h"

#include <QString>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

constexpr std::size_t kMaxQueued = 8;

void writeAll(int fd, const QByteArray &text)
{
    const char *data = text.constData();
    qsizetype left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<std::size_t>(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        left -= written;
    }
}

} // namespace

// Owned jointly by the writer and its thread, so that a thread stuck in write() outlives the
// writer safely.
struct LogWriter::Shared
{
    int fd;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QByteArray> queue;
    qint64 dropped = 0;
    bool stopping = false;
};

LogWriter::LogWriter(int fd) : m_shared(std::make_shared<Shared>())
{
    m_shared->fd = fd;
    std::thread([shared = m_shared] {
        leaveSignalsToMainThread();
        std::unique_lock<std::mutex> lock(shared->mutex);
        for (;;) {
            shared->wake.wait(lock, [&] { return shared->stopping || !shared->queue.empty(); });
            if (shared->queue.empty()) {
                return;
            }
            QByteArray text = std::move(shared->queue.front());
            shared->queue.pop_front();
            lock.unlock();
            writeAll(shared->fd, text);
            lock.lock();
        }
    }).detach();
}

LogWriter::~LogWriter()
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->wake.notify_one();
}

void LogWriter::write(const QByteArray &text)
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_shared->queue.size() >= kMaxQueued) {
        ++m_shared->dropped;
        return;
    }
    if (m_shared->dropped > 0) {
        m_shared->queue.push_back(
            QStringLiteral("(%1 Protokolle nicht ausgegeben: die Ausgabe wurde nicht gelesen)\n\n")
                .arg(m_shared->dropped)
                .toUtf8());
        m_shared->dropped = 0;
    }
    m_shared->queue.push_back(text);
    m_shared->wake.notify_one();
}
