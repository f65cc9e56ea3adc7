#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class QWebSocket;

// Debian's chromium, headless, driven through its DevTools protocol as a user drives it: it opens
// a page, and scripts evaluated in the page fill in fields and click buttons. Host names resolve
// to nothing, so that it reaches the program on loopback and nothing else. A login goes with
// every request as an Authorization header, as the browser sends one once the user has typed it.
class ChromiumDriver
{
public:
    ChromiumDriver();
    ~ChromiumDriver();

    // False (with why()) when chromium is missing or does not answer within 60 s.
    bool start(const QByteArray &authorization = {});
    // Loads url and waits for its load event.
    bool open(const QString &url);
    // The value of a JavaScript expression in the page, awaited when it is a promise; an
    // undefined value when it throws (why() says what).
    QJsonValue evaluate(const QString &expression);
    // Evaluates expression until it is true, at most timeoutMs.
    bool waitFor(const QString &expression, int timeoutMs = 20000);
    QString why() const { return m_why; }

private:
    QJsonObject call(const QString &method, const QJsonObject &params = {}, int timeoutMs = 30000);

    QTemporaryDir m_profile;
    QProcess m_chromium;
    std::unique_ptr<QWebSocket> m_socket;
    int m_nextId = 0;
    QList<QJsonObject> m_received;
    QString m_why;
};
