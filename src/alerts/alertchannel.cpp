#include "alertchannel.h"

#include "runtime/processsignals.h"
#include "runtime/runtimeerror.h"
#include "runtime/version.h"
#include "web/curldriver.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

namespace {

// The netrc file of the service's credentials, if systemd handed it one.
QString credentialsNetrc()
{
    const QString folder = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (folder.isEmpty()) {
        return QString();
    }
    const QString path = QDir(folder).filePath(QStringLiteral("netrc"));
    return QFileInfo::exists(path) ? path : QString();
}

curl_slist *appended(curl_slist *list, const QByteArray &line)
{
    curl_slist *longer = curl_slist_append(list, line.constData());
    if (longer == nullptr) {
        throw RuntimeError(ErrorNumber::OutOfMemory,
                           QStringLiteral("Nicht genügend Speicher für die Alarmmeldungen."));
    }
    return longer;
}

} // namespace

// libcurl's C callbacks. They only move bytes and look at the clock; none calls into the driver.
class AlertChannelCallbacks
{
public:
    static size_t read(char *buffer, size_t size, size_t count, void *self)
    {
        auto *channel = static_cast<AlertChannel *>(self);
        const QByteArray &payload = channel->m_sending;
        const qsizetype bytes =
            std::min<qsizetype>(qsizetype(size * count), payload.size() - channel->m_sent);
        std::memcpy(buffer, payload.constData() + channel->m_sent, std::size_t(bytes));
        channel->m_sent += bytes;
        // libcurl asks no more once it has the size it was told.
        if (channel->m_sent == payload.size() && !channel->m_uploadEnded.isValid()) {
            channel->m_uploadEnded.start();
        }
        return std::size_t(bytes);
    }

    static size_t discard(char *, size_t size, size_t count, void *) { return size * count; }

    // What goes to and comes from the server, line by line: QUIT comes after the confirmation.
    static int debug(CURL *, curl_infotype type, char *data, size_t size, void *self)
    {
        if (type == CURLINFO_HEADER_OUT && size >= 4 && std::memcmp(data, "QUIT", 4) == 0) {
            static_cast<AlertChannel *>(self)->m_quitting = true;
        }
        return 0;
    }

    // Also called from libcurl's blocking waits for a mail server's replies, once a second at the
    // latest and at once after a signal: a non-zero return ends the wait.
    static int progress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        auto *channel = static_cast<AlertChannel *>(self);
        // The end is answered at once; a message in flight is dropped then anyway.
        if (isEnding()) {
            return 1;
        }
        if (!channel->m_uploadEnded.isValid()) {
            return 0;
        }
        // The message is taken; the reply to QUIT changes nothing.
        if (channel->m_quitting) {
            return 1;
        }
        if (channel->m_uploadEnded.hasExpired(channel->m_timing.mailReplyWaitMs)) {
            channel->m_replyTimedOut = true;
            return 1;
        }
        return 0;
    }
};

AlertChannel::AlertChannel(CurlDriver &driver, Kind kind, const QString &url, const QString &from,
                           const QStringList &to, const AlertTiming &timing, Report report)
    : m_driver(driver), m_kind(kind), m_timing(timing), m_report(std::move(report)),
      m_errorText(CURL_ERROR_SIZE, '\0'), m_nextPauseMs(timing.firstPauseMs)
{
    const QUrl parsed(url);
    m_label = kind == Kind::Mail
                  ? QStringLiteral("per E-Mail über %1").arg(url)
                  : QStringLiteral("per Webhook an %1")
                        .arg(parsed
                                 .adjusted(QUrl::RemovePath | QUrl::RemoveQuery
                                           | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
                                 .toDisplayString());
    m_pause.setSingleShot(true);
    QObject::connect(&m_pause, &QTimer::timeout, &m_pause, [this] { startNext(); });
    try {
        setUpHandle(url, from, to);
    } catch (const RuntimeError &) {
        release();
        throw;
    }
}

AlertChannel::~AlertChannel()
{
    release();
    if (!m_queue.empty()) {
        m_report(Journal::Priority::Warning,
                 QStringLiteral("%1 Alarmmeldung(en) %2 wegen des Programmendes nicht "
                                "zugestellt.")
                     .arg(QString::number(m_queue.size()), m_label));
    }
}

void AlertChannel::release()
{
    m_driver.stop(m_easy);
    curl_easy_cleanup(m_easy);
    curl_slist_free_all(static_cast<curl_slist *>(m_recipients));
    curl_slist_free_all(static_cast<curl_slist *>(m_headers));
    m_easy = m_recipients = m_headers = nullptr;
}

void AlertChannel::setUpHandle(const QString &url, const QString &from, const QStringList &to)
{
    if (!CurlDriver::ready() || (m_easy = curl_easy_init()) == nullptr) {
        throw RuntimeError(ErrorNumber::OutOfMemory,
                           QStringLiteral("Die Alarmmeldungen %1 können nicht vorbereitet werden "
                                          "(libcurl).")
                               .arg(m_label));
    }
    const QByteArray encoded = QUrl(url).toEncoded();
    const QString netrc = credentialsNetrc();
    const QByteArray userAgent = QByteArrayLiteral("Pelvaro/") + pelvaroVersion;
    CURLcode code = CURLE_OK;
    const auto check = [&code](CURLcode result) {
        if (code == CURLE_OK) {
            code = result;
        }
    };
    check(curl_easy_setopt(m_easy, CURLOPT_URL, encoded.constData()));
    check(curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L));
    // A server named by host name is resolved in a thread of libcurl's; the end of the program
    // must not wait for a slow name server.
    check(curl_easy_setopt(m_easy, CURLOPT_QUICK_EXIT, 1L));
    check(curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_errorText.data()));
    check(curl_easy_setopt(m_easy, CURLOPT_TIMEOUT_MS, long(m_timing.transferTimeoutMs)));
    check(curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT_MS, long(m_timing.connectTimeoutMs)));
    // A kept connection would be closed at the program's end, and an SMTP one with a QUIT whose
    // answer libcurl waits for.
    check(curl_easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L));
    check(curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 0L));
    check(curl_easy_setopt(m_easy, CURLOPT_NETRC, long(CURL_NETRC_OPTIONAL)));
    if (!netrc.isEmpty()) {
        check(curl_easy_setopt(m_easy, CURLOPT_NETRC_FILE, QFile::encodeName(netrc).constData()));
    }
    check(curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &AlertChannelCallbacks::discard));
    if (m_kind == Kind::Mail) {
        curl_slist *recipients = nullptr;
        for (const QString &address : to) {
            recipients = appended(recipients, '<' + address.toLatin1() + '>');
            m_recipients = recipients;
        }
        const QByteArray sender = '<' + from.toLatin1() + '>';
        check(curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "smtp,smtps"));
        check(curl_easy_setopt(m_easy, CURLOPT_MAIL_FROM, sender.constData()));
        check(curl_easy_setopt(m_easy, CURLOPT_MAIL_RCPT, recipients));
        // smtps:// is TLS from the start; on smtp:// STARTTLS whenever the server offers it.
        check(curl_easy_setopt(m_easy, CURLOPT_USE_SSL, long(CURLUSESSL_TRY)));
        check(curl_easy_setopt(m_easy, CURLOPT_UPLOAD, 1L));
        check(curl_easy_setopt(m_easy, CURLOPT_READFUNCTION, &AlertChannelCallbacks::read));
        check(curl_easy_setopt(m_easy, CURLOPT_READDATA, this));
        check(curl_easy_setopt(m_easy, CURLOPT_NOPROGRESS, 0L));
        check(curl_easy_setopt(m_easy, CURLOPT_XFERINFOFUNCTION, &AlertChannelCallbacks::progress));
        check(curl_easy_setopt(m_easy, CURLOPT_XFERINFODATA, this));
        // The reply lines reach only the debug callback, which needs the verbose mode; nothing
        // goes to stderr with a callback set.
        check(curl_easy_setopt(m_easy, CURLOPT_VERBOSE, 1L));
        check(curl_easy_setopt(m_easy, CURLOPT_DEBUGFUNCTION, &AlertChannelCallbacks::debug));
        check(curl_easy_setopt(m_easy, CURLOPT_DEBUGDATA, this));
    } else {
        curl_slist *headers = appended(nullptr, "Content-Type: application/json; charset=utf-8");
        m_headers = headers;
        // No 100-continue round trip, which some receivers never answer.
        headers = appended(headers, "Expect:");
        m_headers = headers;
        check(curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https"));
        check(curl_easy_setopt(m_easy, CURLOPT_POST, 1L));
        check(curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, headers));
        check(curl_easy_setopt(m_easy, CURLOPT_USERAGENT, userAgent.constData()));
    }
    if (code != CURLE_OK) {
        throw RuntimeError(ErrorNumber::OutOfMemory,
                           QStringLiteral("Die Alarmmeldungen %1 können nicht vorbereitet werden "
                                          "(libcurl: %2).")
                               .arg(m_label, QString::fromLocal8Bit(curl_easy_strerror(code))));
    }
}

void AlertChannel::send(const QByteArray &payload, const QString &summary)
{
    if (waiting() >= kMaxWaiting) {
        // Never the message in flight: libcurl is reading it.
        const auto oldest = m_driver.isRunning(m_easy) ? m_queue.begin() + 1 : m_queue.begin();
        ++m_undelivered;
        m_report(Journal::Priority::Error,
                 QStringLiteral("Alarmmeldung %1 verworfen, weil schon %2 Meldungen warten: %3")
                     .arg(m_label, QString::number(kMaxWaiting), oldest->summary));
        m_queue.erase(oldest);
    }
    m_queue.push_back(Message{payload, summary, QElapsedTimer(), 0});
    if (!m_driver.isRunning(m_easy) && !m_pause.isActive()) {
        startNext();
    }
}

void AlertChannel::startNext()
{
    if (m_queue.empty()) {
        return;
    }
    Message &message = m_queue.front();
    if (!message.firstTry.isValid()) {
        message.firstTry.start();
    }
    ++message.tries;
    m_sending = message.payload;
    m_sent = 0;
    m_uploadEnded.invalidate();
    m_quitting = false;
    m_replyTimedOut = false;
    m_errorText.fill('\0');
    if (m_kind == Kind::Mail) {
        curl_easy_setopt(m_easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(m_sending.size()));
    } else {
        curl_easy_setopt(m_easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_sending.size()));
        curl_easy_setopt(m_easy, CURLOPT_POSTFIELDS, m_sending.constData());
    }
    try {
        m_driver.start(
            m_easy, [this](int result) { ended(result); },
            QStringLiteral("Die Alarmmeldung %1").arg(m_label));
    } catch (const RuntimeError &error) {
        // Out of memory: taken like a try that failed, so the message waits for a pause.
        m_pause.start(m_nextPauseMs);
        m_report(Journal::Priority::Error, error.description());
    }
}

QString AlertChannel::failure(int result, bool *lasting) const
{
    long code = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &code);
    *lasting = false;
    if (m_kind == Kind::Webhook && result == CURLE_OK) {
        if (code >= 200 && code < 300) {
            return QString();
        }
        // A refusal of the request itself, or a redirect, which is not followed; 408 and 429
        // only say "not now".
        *lasting = code < 500 && code != 408 && code != 429;
        return QStringLiteral("Antwort HTTP %1").arg(code);
    }
    if (result == CURLE_OK) {
        return QString();
    }
    // A permanent SMTP refusal (wrong login, unknown recipient).
    *lasting = m_kind == Kind::Mail && code >= 500 && code < 600;
    if (m_replyTimedOut) {
        // The server has the whole message and may deliver it yet: sent again, it could arrive
        // once per try.
        *lasting = true;
        return QStringLiteral("der Mailserver hat die Nachricht nicht binnen %1 ms bestätigt; "
                              "sie wird nicht noch einmal geschickt")
            .arg(m_timing.mailReplyWaitMs);
    }
    const QString text = QString::fromLocal8Bit(m_errorText.constData());
    return text.isEmpty() ? QString::fromLocal8Bit(curl_easy_strerror(CURLcode(result))) : text;
}

void AlertChannel::ended(int result)
{
    bool lasting = false;
    const QString why = failure(result, &lasting);
    if (why.isEmpty()) {
        if (m_failing) {
            m_report(Journal::Priority::Notice,
                     QStringLiteral("Alarmmeldung %1 zugestellt, im %2. Versuch.")
                         .arg(m_label, QString::number(m_queue.front().tries)));
        }
        m_failing = false;
        m_nextPauseMs = m_timing.firstPauseMs;
        m_queue.pop_front();
        startNext();
        return;
    }
    if (lasting || m_queue.front().firstTry.hasExpired(m_timing.giveUpAfterMs)) {
        giveUp(why);
        startNext();
        return;
    }
    if (!m_failing) {
        m_report(Journal::Priority::Warning,
                 QStringLiteral("Alarmmeldung %1 nicht zugestellt: %2. Neuer Versuch in %3 s.")
                     .arg(m_label, why, QString::number(m_nextPauseMs / 1000.0)));
    }
    m_failing = true;
    m_pause.start(m_nextPauseMs);
    m_nextPauseMs = std::min(m_nextPauseMs * 2, m_timing.longestPauseMs);
}

void AlertChannel::giveUp(const QString &why)
{
    const Message &message = m_queue.front();
    ++m_undelivered;
    m_report(Journal::Priority::Error,
             QStringLiteral("Alarmmeldung %1 endgültig nicht zugestellt (%2, Versuche: %3): %4")
                 .arg(m_label, why, QString::number(message.tries), message.summary));
    m_queue.pop_front();
}
