#include "curldriver.h"

#include "runtime/runtimeerror.h"

#include <QTimer>

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <type_traits>
#include <utility>
#include <vector>

static_assert(
    std::is_same_v<CURL, void> && std::is_same_v<CURLM, void> && std::is_same_v<curl_socket_t, int>,
    "the header keeps libcurl's handles as void * and its sockets as int");

namespace {

RuntimeError refused(const QString &what, const char *reason)
{
    return RuntimeError(ErrorNumber::OutOfMemory,
                        QStringLiteral("%1 konnte nicht begonnen werden (libcurl: %2).")
                            .arg(what, QString::fromLocal8Bit(reason)));
}

} // namespace

// libcurl's C callbacks. They only note what libcurl asks for and never run the event loop or
// call into libcurl.
class CurlDriverCallbacks
{
public:
    static int socket(CURL *, curl_socket_t socket, int what, void *self, void *)
    {
        static_cast<CurlDriver *>(self)->watchSocket(socket, what);
        return 0;
    }

    static int timer(CURLM *, long timeoutMs, void *self)
    {
        QTimer *timer = static_cast<CurlDriver *>(self)->m_timer;
        if (timeoutMs < 0) {
            timer->stop();
        } else {
            timer->start(static_cast<int>(std::min<long>(timeoutMs, INT_MAX)));
        }
        return 0;
    }
};

CurlDriver::CurlDriver(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlDriver::~CurlDriver()
{
    for (auto it = m_running.cbegin(); it != m_running.cend(); ++it) {
        curl_multi_remove_handle(m_multi, it.key());
    }
    curl_multi_cleanup(m_multi);
}

bool CurlDriver::ready()
{
    // A function-local static: set up once, and safely from any thread.
    static const bool isReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return isReady;
}

void CurlDriver::start(void *easy, Done done, const QString &what)
{
    stop(easy);
    if (m_multi == nullptr) {
        if (!ready()) {
            throw refused(what, "curl_global_init");
        }
        m_multi = curl_multi_init();
        if (m_multi == nullptr) {
            throw refused(what, "curl_multi_init");
        }
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlDriverCallbacks::socket);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlDriverCallbacks::timer);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    }
    const CURLMcode added = curl_multi_add_handle(m_multi, easy);
    if (added != CURLM_OK) {
        throw refused(what, curl_multi_strerror(added));
    }
    m_running.insert(easy, Transfer{std::move(done), ++m_runs});
}

void CurlDriver::stop(void *easy)
{
    if (m_running.remove(easy)) {
        // Closes the connection if the transfer still runs; its sockets' notifiers go through
        // forgetSocket.
        curl_multi_remove_handle(m_multi, easy);
    }
}

void CurlDriver::watchSocket(int socket, int what)
{
    if (what == CURL_POLL_REMOVE) {
        forgetSocket(socket);
        return;
    }
    SocketWatch &watch = m_sockets[socket];
    const auto watchFor = [this, socket](QSocketNotifier *&notifier, QSocketNotifier::Type type,
                                         bool wanted) {
        if (notifier == nullptr && wanted) {
            notifier = notifierFor(socket, type);
        } else if (notifier != nullptr) {
            notifier->setEnabled(wanted);
        }
    };
    watchFor(watch.read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    watchFor(watch.write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

QSocketNotifier *CurlDriver::notifierFor(int socket, QSocketNotifier::Type type)
{
    // Connections come and go with every fetch: the notifiers of one serve the next, which spares
    // creating and deleting them each time.
    QList<QSocketNotifier *> &spare = m_spareNotifiers[type == QSocketNotifier::Read ? 0 : 1];
    QSocketNotifier *notifier = nullptr;
    if (spare.isEmpty()) {
        notifier = new QSocketNotifier(type, this);
        const int events = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
        connect(notifier, &QSocketNotifier::activated, this,
                [this, notifier, events] { act(int(notifier->socket()), events); });
    } else {
        notifier = spare.takeLast();
    }
    notifier->setSocket(socket);
    notifier->setEnabled(true);
    return notifier;
}

void CurlDriver::forgetSocket(int socket)
{
    const SocketWatch watch = m_sockets.take(socket);
    // Only disabled, never deleted here: the notifier may be the one whose activation is being
    // handled right now.
    if (watch.read != nullptr) {
        watch.read->setEnabled(false);
        m_spareNotifiers[0].append(watch.read);
    }
    if (watch.write != nullptr) {
        watch.write->setEnabled(false);
        m_spareNotifiers[1].append(watch.write);
    }
}

void CurlDriver::act(int socket, int events)
{
    if (m_multi == nullptr) {
        return;
    }
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    struct Ended
    {
        void *easy;
        quint64 run;
        int result;
    };
    std::vector<Ended> ended;
    int queued = 0;
    while (const CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        const auto running = m_running.constFind(message->easy_handle);
        if (message->msg == CURLMSG_DONE && running != m_running.cend()) {
            ended.push_back(Ended{message->easy_handle, running->run, message->data.result});
        }
    }
    // Once libcurl has returned, so that a callback may start or stop transfers at once; one
    // stopped or restarted by an earlier callback is not reported.
    for (const Ended &end : ended) {
        const auto running = m_running.constFind(end.easy);
        if (running == m_running.cend() || running->run != end.run) {
            continue;
        }
        const Done done = running->done;
        m_running.erase(running);
        curl_multi_remove_handle(m_multi, end.easy);
        if (done) {
            done(end.result);
        }
    }
}
