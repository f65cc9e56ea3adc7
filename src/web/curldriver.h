#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QSocketNotifier>

#include <functional>

class QTimer;

// libcurl's multi interface driven by the event loop of the thread the driver lives in: one multi
// handle for every transfer of the program (device pages, alert mail, webhooks), socket notifiers
// for the sockets libcurl asks to have watched, and one timer for its time-outs. No thread of its
// own, so nothing a peer does can hold up the event loop.
//
// Easy handles are set up and owned by the caller; the driver only runs them. libcurl is never
// entered again from inside itself: its callbacks note what it asks for, and a transfer's end is
// reported from the event loop, after libcurl has returned.
class CurlDriver : public QObject
{
    Q_OBJECT

public:
    // result: libcurl's CURLcode for the transfer.
    using Done = std::function<void(int result)>;

    explicit CurlDriver(QObject *parent = nullptr);
    // Transfers still running are removed without their done being called.
    ~CurlDriver() override;

    // libcurl's global set-up, once per process before the first handle; safe from any thread.
    // False when libcurl could not be set up.
    static bool ready();

    // Starts the easy handle (a CURL *); done runs once it has ended, unless it is stopped first.
    // Throws RuntimeError (naming what) when libcurl refuses, which only happens when out of
    // memory. Starting a handle that runs restarts it.
    void start(void *easy, Done done, const QString &what);
    // Ends the transfer (closing its connection) without calling done; harmless when it does not
    // run. Safe from inside a done callback.
    void stop(void *easy);
    bool isRunning(void *easy) const { return m_running.contains(easy); }

private:
    friend class CurlDriverCallbacks;

    struct Transfer
    {
        Done done;
        // Tells a restarted handle from the run whose end is being reported.
        quint64 run = 0;
    };

    struct SocketWatch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    void watchSocket(int socket, int what);
    QSocketNotifier *notifierFor(int socket, QSocketNotifier::Type type);
    void forgetSocket(int socket);
    void act(int socket, int events);

    // A CURLM *.
    void *m_multi = nullptr;
    QTimer *m_timer;
    QHash<void *, Transfer> m_running;
    quint64 m_runs = 0;
    QHash<int, SocketWatch> m_sockets;
    // Disabled notifiers for reading [0] and writing [1], to be given the next sockets.
    QList<QSocketNotifier *> m_spareNotifiers[2];
};
