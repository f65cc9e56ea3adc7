#pragma once

#include <QDeadlineTimer>
#include <QHash>

struct MHD_Connection;

// Every connection the server holds open, from its accept to its close: the one place for what
// belongs to a connection rather than to one request on it. So far that is when the header of its
// next request is due. The library drops only a connection that is idle, and one that trickles a
// header line every few seconds never is; so the server cuts those whose header is late itself.
//
// All of it runs on the server's thread, from the library's callbacks and between its runs.
class HttpConnections
{
public:
    // The library has accepted connection (nothing is read yet), or has closed it.
    void opened(MHD_Connection *connection);
    void closed(MHD_Connection *connection);
    // The line and headers of the connection's request are complete: no deadline while it is
    // answered, however long the answer takes.
    void headerArrived(MHD_Connection *connection);
    // Its answer has gone out: the header of the next request on it is due from now.
    void answered(MHD_Connection *connection);

    // Shuts down the sockets of the connections whose header is late; the library sees them end
    // and closes them at its next run. Returns the milliseconds until the next header is due, 0
    // when it shut one down (the library should run at once), -1 when none is awaited.
    qint64 cutLate();

    qsizetype count() const { return m_open.size(); }
    // Connections closed so far.
    quint64 closes() const { return m_closes; }

private:
    struct Connection
    {
        // Forever while a request is answered, and once the socket is shut down.
        QDeadlineTimer headerDue;
    };

    void awaitHeader(Connection &connection);

    QHash<MHD_Connection *, Connection> m_open;
    quint64 m_closes = 0;
};
