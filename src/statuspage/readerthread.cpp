#include "readerthread.h"

#include "runtime/processsignals.h"
#include "wertereader.h"

#include <QThread>

ReaderThread::ReaderThread(const QString &databaseName, QObject *parent)
    : QObject(parent), m_databaseName(databaseName), m_thread(QThread::create([this] { run(); }))
{
    m_thread->setObjectName(QStringLiteral("Statusseite-Leser"));
    m_thread->start(QThread::LowPriority);
}

ReaderThread::~ReaderThread()
{
    {
        const QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_wake.wakeAll();
    m_thread->wait();
    delete m_thread;
}

bool ReaderThread::submit(Work work, Done done, bool continuing)
{
    {
        const QMutexLocker lock(&m_mutex);
        if (m_jobs.size() >= kQueueLimit && !continuing) {
            return false;
        }
        m_jobs.push_back(Job{std::move(work), std::move(done)});
    }
    m_wake.wakeOne();
    return true;
}

void ReaderThread::run()
{
    leaveSignalsToMainThread();
    WerteReader reader(m_databaseName);
    QMutexLocker lock(&m_mutex);
    while (!m_stopping) {
        if (m_jobs.empty()) {
            if (!m_wake.wait(&m_mutex, kIdleCloseMs) && m_jobs.empty()) {
                reader.close();
            }
            continue;
        }
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        try {
            job.work(reader);
        } catch (const std::exception &) {
            // A job that let something through still gets its done; the thread goes on.
        }
        // Delivered through the owner's event loop; dropped with the owner if it is gone.
        QMetaObject::invokeMethod(this, std::move(job.done), Qt::QueuedConnection);
        lock.relock();
    }
}
