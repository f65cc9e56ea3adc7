#pragma once

#include <QObject>
#include <QThread>

#include <functional>

// A thread for work that may wait on something outside (a database that is locked, a server far
// away), so that the thread it is submitted from goes on answering. Jobs run one after the other;
// at most limit wait or run, so that clients asking faster than the work goes get a refusal
// instead of a growing backlog.
class WorkerThread : public QObject
{
    Q_OBJECT

public:
    WorkerThread(int limit, QObject *parent = nullptr);
    // Lets the job that runs finish; those waiting are dropped, and no done runs any more.
    ~WorkerThread() override;

    // work runs on the worker thread, done afterwards on this object's thread. False when limit
    // jobs wait already.
    bool submit(std::function<void()> work, std::function<void()> done);

private:
    int m_limit;
    int m_pending = 0;
    QThread m_thread;
    QObject *m_worker;
};
