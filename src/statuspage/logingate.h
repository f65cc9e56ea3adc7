#pragma once

#include "httpserver.h"
#include "pageusers.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QThread>

#include <functional>

// The page's logins, HTTP Basic against a users file. Runs on the server's thread, which must
// answer every client at once, so hashes are checked on a thread of the gate's own, one at a
// time, and a checked login is remembered for Bounds::kLoginKeptMs: a page that asks every
// second costs one hash every few minutes, a flood of wrong passwords at most one thread's time,
// and neither reaches the passes. Wrong logins are answered late, later for an address that
// failed before; that address is named once in the journal, for tools such as fail2ban.
class LoginGate : public QObject
{
    Q_OBJECT

public:
    LoginGate(HttpServer &server, PageUsers users, QObject *parent = nullptr);
    // Waits for the hash being checked, if any.
    ~LoginGate() override;

    // Takes new users; every remembered login is forgotten.
    void setUsers(PageUsers users);
    // Forgets every remembered login, so that each is checked again.
    void forget();

    // Calls admitted (now or later) when the request carries a login of the file; otherwise
    // answers it: 401, or 503 while too many logins wait for their check.
    void admit(const HttpServer::Request &request, std::function<void()> admitted);

private:
    struct Remembered
    {
        bool right = false;
        QDeadlineTimer until;
    };
    struct Failures
    {
        int count = 0;
        QDeadlineTimer forgotten;
        // Until when its logins are refused unchecked.
        QDeadlineTimer shutOut;
    };

    void checked(const HttpServer::Request &request, const QByteArray &key, quint64 generation,
                 bool right, const std::function<void()> &admitted);
    // A wrong login: counted against its address, answered late.
    void refuse(const HttpServer::Request &request);
    bool shutOut(const QByteArray &address) const;
    void remember(const QByteArray &key, bool right);
    void answer(quint64 id, int status, const QByteArray &body);

    HttpServer &m_server;
    PageUsers m_users;
    // Counts the users files taken, so that a check begun with an older one is not believed.
    quint64 m_generation = 0;
    QByteArray m_secret;
    QHash<QByteArray, Remembered> m_remembered;
    QHash<QByteArray, Failures> m_failures;
    QHash<QByteArray, int> m_waitingFrom;
    int m_waiting = 0;
    QThread m_thread;
    QObject *m_checker;
};
