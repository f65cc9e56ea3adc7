#include "interschneck.h"

#include "curldriver.h"
#include "runtime/bounds.h"
#include "runtime/runtimeerror.h"
#include "runtime/version.h"

#include <QUrl>

#include <curl/curl.h>

#include <algorithm>

namespace {

RuntimeError setUpError(const QString &url, const char *reason)
{
    return RuntimeError(ErrorNumber::OutOfMemory,
                        QStringLiteral("Die Anfrage an %1 konnte nicht vorbereitet werden "
                                       "(libcurl: %2).")
                            .arg(url, QString::fromLocal8Bit(reason)));
}

// The nearest of the few reasons a user acts on. libcurl tells many more ways apart; those that
// are not about finding the host, connecting or waiting all mean that something answered but no
// whole HTTP answer came (reset, closed early, nothing sent, garbage, headers past our bound).
FetchFailure::Reason failureOf(CURLcode result)
{
    using Reason = FetchFailure::Reason;
    switch (result) {
    case CURLE_OK:
        return Reason::None;
    // The scheme is checked before the request starts, so an unsupported protocol can only be
    // an answer that is no HTTP (HTTP/0.9 is not taken), and is not among these.
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_URL_MALFORMAT:
        return Reason::Unresolvable;
    // Refused, and also a host or network that cannot be reached (a device switched off answers
    // no ARP request): no connection either way.
    case CURLE_COULDNT_CONNECT:
    case CURLE_INTERFACE_FAILED:
        return Reason::Refused;
    // libcurl's own request time-out, longer than the fetch's: only a caller that waits longer
    // sees it.
    case CURLE_OPERATION_TIMEDOUT:
        return Reason::Timeout;
    default:
        return Reason::BrokenOff;
    }
}

} // namespace

// libcurl's C callbacks for the answer. They only keep what is wanted and never call into libcurl.
class InterschneckCallbacks
{
public:
    // Called once per complete header line, the status line included. libcurl holds an
    // unfinished line itself and gives up on one longer than its own limit (100 KiB).
    static size_t header(char *, size_t size, size_t count, void *self)
    {
        auto *transfer = static_cast<Interschneck *>(self);
        const size_t bytes = size * count;
        transfer->m_headerBytesSeen += static_cast<qint64>(bytes);
        // Anything but the full size ends the transfer with an error, and so without a body.
        return transfer->m_headerBytesSeen <= Bounds::kHeaderBytes ? bytes : 0;
    }

    static size_t body(char *data, size_t size, size_t count, void *self)
    {
        QByteArray &kept = static_cast<Interschneck *>(self)->m_body;
        const size_t bytes = size * count;
        const qint64 room = Bounds::kKeptBytes - kept.size();
        if (room > 0) {
            kept.append(data, static_cast<qsizetype>(std::min<qint64>(room, qint64(bytes))));
        }
        // All of it counts as taken: the rest of a long answer is read and dropped, not refused.
        return bytes;
    }
};

Interschneck::Interschneck(CurlDriver &driver, QObject *parent) : QObject(parent), m_driver(driver)
{
    setObjectName(QStringLiteral("Interschneck"));
}

Interschneck::~Interschneck()
{
    m_driver.stop(m_easy);
    curl_easy_cleanup(m_easy);
    curl_slist_free_all(static_cast<curl_slist *>(m_headers));
}

void Interschneck::Cancel()
{
    m_driver.stop(m_easy);
    m_body.clear();
}

void Interschneck::Execute(const QString &url, const QString &operation)
{
    Cancel();
    m_httpStatus = 0;
    const QUrl target(url);
    if (operation != QLatin1String("GET") || !target.isValid()
        || target.scheme() != QLatin1String("http") || target.host().isEmpty()) {
        // No host to look for: to whoever set the address up, that is one that cannot be found.
        m_failure = FetchFailure::Reason::Unresolvable;
        return;
    }
    m_failure = FetchFailure::Reason::None;
    setUpHandle(url);
    m_headerBytesSeen = 0;
    // libcurl keeps its own copy of the text.
    const CURLcode code = curl_easy_setopt(m_easy, CURLOPT_URL, target.toEncoded().constData());
    if (code != CURLE_OK) {
        throw setUpError(url, curl_easy_strerror(code));
    }
    m_driver.start(
        m_easy, [this](int result) { ended(result); },
        QStringLiteral("Die Anfrage an %1").arg(url));
}

bool Interschneck::StillExecuting() const
{
    return m_driver.isRunning(m_easy);
}

FetchFailure Interschneck::failure() const
{
    const qint32 seconds =
        m_failure == FetchFailure::Reason::Timeout ? Bounds::kRequestTimeoutMs / 1000 : 0;
    return FetchFailure{m_failure, m_httpStatus, seconds};
}

QString Interschneck::GetChunk(qint64 size)
{
    const QByteArray chunk = m_body.left(size);
    m_body.remove(0, chunk.size());
    return QString::fromLatin1(chunk);
}

void Interschneck::ended(int result)
{
    if (result != CURLE_OK) {
        m_body.clear();
    }
    m_failure = failureOf(CURLcode(result));
    long status = 0;
    if (curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
        m_httpStatus = int(status);
    }
    // Last, so that a slot may start the next request or cancel right away.
    Q_EMIT finished();
}

void Interschneck::setUpHandle(const QString &url)
{
    if (m_easy != nullptr) {
        return;
    }
    if (!CurlDriver::ready()) {
        throw setUpError(url, "curl_global_init");
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
    check(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(Bounds::kRequestTimeoutMs)));
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
