#pragma once

#include "runtime/journal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>

class CurlDriver;

// How alert messages are tried; only tests shorten it.
struct AlertTiming
{
    // After a failed try the channel pauses, first this long, then twice as long after each
    // further failure up to longestPauseMs. A message still not delivered giveUpAfterMs after its
    // first try is given up.
    int firstPauseMs = 30 * 1000;
    int longestPauseMs = 30 * 60 * 1000;
    qint64 giveUpAfterMs = 24 * 3600 * 1000LL;
    // One try in all, and its connection.
    int transferTimeoutMs = 60 * 1000;
    int connectTimeoutMs = 15 * 1000;
    // How long a mail server may take to confirm a message (see AlertChannel).
    int mailReplyWaitMs = 2000;
};

// One way out for alert messages, an SMTP server or a webhook, run by the program's CurlDriver
// on the event loop: one message at a time, in order. A message whose try fails waits for the
// pause of AlertTiming, and the messages behind it with it, so a server that is down is asked
// ever more rarely, and all arrive in order once it is back. At most kMaxWaiting messages wait;
// past that the oldest that is not being sent is dropped. A message that cannot be delivered (a
// refusal that trying again will not change, the time of AlertTiming run out, dropped, or a mail
// cut off as below) counts as undelivered. Everything worth knowing goes to report: the first
// failure of a run, the delivery that ends it, each message given up.
//
// Mail: libcurl (7.88) waits for the server's confirmation of a message, and for its answer to
// QUIT, without returning to the event loop; a healthy server costs one round trip each. The
// channel cuts the first wait off after mailReplyWaitMs and the second at its first check, so a
// stalled server holds up the program for about mailReplyWaitMs once per message. A message cut
// off so is not sent again, since the server has it whole and may deliver it yet; it counts as
// undelivered.
//
// Credentials come from a netrc file: $CREDENTIALS_DIRECTORY/netrc when the service was given one
// (systemd's LoadCredential=), otherwise libcurl's ~/.netrc if there is one.
class AlertChannel
{
public:
    enum class Kind { Mail, Webhook };
    using Report = std::function<void(Journal::Priority priority, const QString &line)>;

    static constexpr qsizetype kMaxWaiting = 50;

    // url is the smtp:// or smtps:// server, or the webhook; from and to are for mail only. The
    // values are checked (checkAlertSettings).
    AlertChannel(CurlDriver &driver, Kind kind, const QString &url, const QString &from,
                 const QStringList &to, const AlertTiming &timing, Report report);
    // Stops a message in flight without waiting for it; what waits is reported as not delivered.
    ~AlertChannel();
    AlertChannel(const AlertChannel &) = delete;
    AlertChannel &operator=(const AlertChannel &) = delete;

    // payload: the mail message or the webhook's JSON; summary names it in reports.
    void send(const QByteArray &payload, const QString &summary);

    // Messages waiting or in flight.
    qsizetype waiting() const { return qsizetype(m_queue.size()); }
    qint64 undelivered() const { return m_undelivered; }

private:
    friend class AlertChannelCallbacks;

    struct Message
    {
        QByteArray payload;
        QString summary;
        QElapsedTimer firstTry;
        int tries = 0;
    };

    void setUpHandle(const QString &url, const QString &from, const QStringList &to);
    void release();
    void startNext();
    void ended(int result);
    // Why the latest try failed, or the empty text when it succeeded; *lasting when trying again
    // cannot help.
    QString failure(int result, bool *lasting) const;
    void giveUp(const QString &why);

    CurlDriver &m_driver;
    Kind m_kind;
    AlertTiming m_timing;
    Report m_report;
    // The channel as reports name it: the mail server, or the webhook's scheme, host and port
    // (its path may hold a secret token).
    QString m_label;
    // libcurl's easy handle (a CURL *) and its lists (struct curl_slist *).
    void *m_easy = nullptr;
    void *m_recipients = nullptr;
    void *m_headers = nullptr;
    // libcurl's error buffer, CURL_ERROR_SIZE bytes.
    QByteArray m_errorText;
    std::deque<Message> m_queue;
    // The message being tried, which libcurl reads while the queue may change; how much of it
    // has been handed over, and when all of it was.
    QByteArray m_sending;
    qsizetype m_sent = 0;
    QElapsedTimer m_uploadEnded;
    bool m_quitting = false;
    bool m_replyTimedOut = false;
    QTimer m_pause;
    int m_nextPauseMs;
    bool m_failing = false;
    qint64 m_undelivered = 0;
};
