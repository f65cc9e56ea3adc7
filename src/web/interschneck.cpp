#include "interschneck.h"

#include "runtime/runtimeerror.h"
#include "runtime/version.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <type_traits>

static_assert(
    std::is_same_v<CURL, void> && std::is_same_v<CURLM, void> && std::is_same_v<curl_socket_t, int>,
    "the header keeps libcurl's handles as void * and its sockets as int");

namespace {

// libcurl's global set-up, once per process before the first handle; the function-local static
// makes it safe from any thread.
bool curlReady()
{
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

RuntimeError setUpError(const QString &url, const char *reason)
{
    return RuntimeError(ErrorNumber::OutOfMemory,
                        QStringLiteral("Die Anfrage an %1 konnte nicht vorbereitet werden "
                                       "(libcurl: %2).")
                            .arg(url, QString::fromLocal8Bit(reason)));
}

} // namespace

// libcurl's C callbacks. They only note what libcurl asks for and never run the event loop or
// call into libcurl, so libcurl is never entered again from inside itself.
class InterschneckCallbacks
{
public:
    static int socket(CURL *, curl_socket_t socket, int what, void *self, void *)
    {
        static_cast<Interschneck *>(self)->watchSocket(socket, what);
        return 0;
    }

    static int timer(CURLM *, long timeoutMs, void *self)
    {
        QTimer *timer = static_cast<Interschneck *>(self)->m_timer;
        if (timeoutMs < 0) {
            timer->stop();
        } else {
            timer->start(static_cast<int>(std::min<long>(timeoutMs, INT_MAX)));
        }
        return 0;
    }

    // Called once per complete header line, the status line included. libcurl holds an
    // unfinished line itself and gives up on one longer than its own limit (100 KiB).
    static size_t header(char *, size_t size, size_t count, void *self)
    {
        auto *transfer = static_cast<Interschneck *>(self);
        const size_t bytes = size * count;
        transfer->m_headerBytesSeen += static_cast<qint64>(bytes);
        // Anything but the full size ends the transfer with an error, and so without a body.
        return transfer->m_headerBytesSeen <= Interschneck::kHeaderBytes ? bytes : 0;
    }

    static size_t body(char *data, size_t size, size_t count, void *self)
    {
        QByteArray &kept = static_cast<Interschneck *>(self)->m_body;
        const size_t bytes = size * count;
        const qint64 room = Interschneck::kKeptBytes - kept.size();
        if (room > 0) {
            kept.append(data, static_cast<qsizetype>(std::min<qint64>(room, qint64(bytes))));
        }
        // All of it counts as taken: the rest of a long answer is read and dropped, not refused.
        return bytes;
    }
};

Interschneck::Interschneck(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    setObjectName(QStringLiteral("Interschneck"));
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

Interschneck::~Interschneck()
{
    dropTransfer();
    curl_multi_cleanup(m_multi);
    curl_easy_cleanup(m_easy);
    curl_slist_free_all(static_cast<curl_slist *>(m_headers));
}

void Interschneck::Cancel()
{
    dropTransfer();
    m_body.clear();
}

void Interschneck::Execute(const QString &url, const QString &operation)
{
    Cancel();
    const QUrl target(url);
    if (operation != QLatin1String("GET") || !target.isValid()
        || target.scheme() != QLatin1String("http") || target.host().isEmpty()) {
        return;
    }
    setUpHandles(url);
    m_headerBytesSeen = 0;
    // libcurl keeps its own copy of the text.
    CURLcode code = curl_easy_setopt(m_easy, CURLOPT_URL, target.toEncoded().constData());
    if (code != CURLE_OK) {
        throw setUpError(url, curl_easy_strerror(code));
    }
    const CURLMcode added = curl_multi_add_handle(m_multi, m_easy);
    if (added != CURLM_OK) {
        throw setUpError(url, curl_multi_strerror(added));
    }
    m_running = true;
}

bool Interschneck::StillExecuting() const
{
    return m_running;
}

QString Interschneck::GetChunk(qint64 size)
{
    const QByteArray chunk = m_body.left(size);
    m_body.remove(0, chunk.size());
    return QString::fromLatin1(chunk);
}

void Interschneck::setUpHandles(const QString &url)
{
    if (m_easy != nullptr) {
        return;
    }
    if (!curlReady()) {
        throw setUpError(url, "curl_global_init");
    }
    if (m_multi == nullptr) {
        m_multi = curl_multi_init();
        if (m_multi == nullptr) {
            throw setUpError(url, "curl_multi_init");
        }
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &InterschneckCallbacks::socket);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &InterschneckCallbacks::timer);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    }
    if (m_headers == nullptr) {
        curl_slist *headers = nullptr;
        // Small device web servers often serve one connection at a time; an idle kept-alive
        // connection of ours would lock out everyone else until it times out.
        for (const char *line : {"Connection: close", "Accept-Encoding: identity"}) {
            curl_slist *longer = curl_slist_append(headers, line);
            if (longer == nullptr) {
                curl_slist_free_all(headers);
                throw setUpError(url, "curl_slist_append");
            }
            headers = longer;
        }
        m_headers = headers;
    }
    CURL *easy = curl_easy_init();
    if (easy == nullptr) {
        throw setUpError(url, "curl_easy_init");
    }
    const QByteArray userAgent = QByteArrayLiteral("Pelvaro/") + pelvaroVersion;
    // One handle for every request: the options stay, only the URL changes.
    CURLcode code = CURLE_OK;
    const auto check = [&code](CURLcode result) {
        if (code == CURLE_OK) {
            code = result;
        }
    };
    check(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    // A device named by host name is resolved in a thread of libcurl's; a cancelled fetch must not
    // wait for a slow name server before the program can go on or end.
    check(curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L));
    check(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http"));
    check(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http"));
    check(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
    check(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)));
    check(curl_easy_setopt(easy, CURLOPT_HTTP09_ALLOWED, 0L));
    check(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
    // Devices sit in the local network; a proxy set up for the web at large, in the environment
    // or anywhere else, would only stand between the program and them.
    check(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
    check(curl_easy_setopt(easy, CURLOPT_NOPROXY, "*"));
    check(curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L));
    check(curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L));
    // The bytes counted are the bytes sent: a compressed body stays compressed, so a small
    // answer cannot inflate into a large one.
    check(curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L));
    check(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(kRequestTimeoutMs)));
    check(curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.constData()));
    check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist *>(m_headers)));
    check(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &InterschneckCallbacks::header));
    check(curl_easy_setopt(easy, CURLOPT_HEADERDATA, this));
    check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &InterschneckCallbacks::body));
    check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, this));
    if (code != CURLE_OK) {
        curl_easy_cleanup(easy);
        throw setUpError(url, curl_easy_strerror(code));
    }
    m_easy = easy;
}

void Interschneck::watchSocket(int socket, int what)
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

QSocketNotifier *Interschneck::notifierFor(int socket, QSocketNotifier::Type type)
{
    // One connection per request: the notifiers of the last one serve the next, which spares
    // creating and deleting them for every fetch.
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

void Interschneck::forgetSocket(int socket)
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

void Interschneck::act(int socket, int events)
{
    if (m_multi == nullptr) {
        return;
    }
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    bool ended = false;
    int queued = 0;
    while (const CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy && m_running) {
            ended = true;
            if (message->data.result != CURLE_OK) {
                m_body.clear();
            }
        }
    }
    if (ended) {
        dropTransfer();
        // Last, so that a slot may start the next request or cancel right away.
        Q_EMIT finished();
    }
}

void Interschneck::dropTransfer()
{
    if (!m_running) {
        return;
    }
    m_running = false;
    // Closes the connection if the transfer still runs; the sockets' notifiers go through
    // forgetSocket.
    curl_multi_remove_handle(m_multi, m_easy);
}
