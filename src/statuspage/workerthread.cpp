#include "workerthread.h"

#include <QPointer>

WorkerThread::WorkerThread(int limit, QObject *parent)
    : QObject(parent), m_limit(limit), m_worker(new QObject)
{
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

WorkerThread::~WorkerThread()
{
    // Events still queued for the worker are dropped when it is deleted with the thread's end.
    m_thread.quit();
    m_thread.wait();
}

bool WorkerThread::submit(std::function<void()> work, std::function<void()> done)
{
    if (m_pending >= m_limit) {
        return false;
    }
    ++m_pending;
    QPointer<WorkerThread> owner(this);
    QMetaObject::invokeMethod(
        m_worker,
        [owner, work = std::move(work), done = std::move(done)] {
            work();
            // Posted to the owner, which drops it unrun if it is gone by then.
            QMetaObject::invokeMethod(
                owner.data(),
                [owner, done] {
                    if (owner) {
                        --owner->m_pending;
                        done();
                    }
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return true;
}
