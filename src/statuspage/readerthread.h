#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include <deque>
#include <functional>

class QThread;
class WerteReader;

// The one thread that reads Werte for the status page, so that no chart or export ever holds up
// the thread that polls the devices. Its WerteReader lives and dies on that thread, as a Qt SQL
// connection must. Jobs run one after the other; the queue is bounded, so a client that asks for
// more than the database can answer gets a refusal instead of a growing backlog. After
// kIdleCloseMs without a job the connection is closed, so that an idle page holds no database
// memory.
class ReaderThread : public QObject
{
    Q_OBJECT

public:
    // Runs on the reader thread; what it throws is for it to catch (and report through its done).
    using Work = std::function<void(WerteReader &)>;
    // Runs on the owner's thread once the work is done.
    using Done = std::function<void()>;

    static constexpr std::size_t kQueueLimit = 8;
    static constexpr int kIdleCloseMs = 30000;

    explicit ReaderThread(const QString &databaseName, QObject *parent = nullptr);
    // Lets the job that runs finish, drops those that wait (their done never runs), closes the
    // connection and ends the thread.
    ~ReaderThread() override;

    // False when kQueueLimit jobs wait already, unless the job continues one that was admitted
    // (the next page of an export), which each open connection has at most one of.
    bool submit(Work work, Done done, bool continuing = false);

private:
    struct Job
    {
        Work work;
        Done done;
    };

    void run();

    QString m_databaseName;
    QThread *m_thread;
    QMutex m_mutex;
    QWaitCondition m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
};
