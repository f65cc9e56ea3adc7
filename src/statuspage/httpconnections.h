#pragma once

#include "runtime/bounds.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>

struct MHD_Connection;

// Every connection the server holds open, from its accept to its close: the one place for what
// belongs to a connection rather than to one request on it. So far that is the client's address,
// and when the header of its next request is due. The library drops only a connection that is idle,
// and one that trickles a header line every few seconds never is; so the server cuts those whose
// header is late itself. And when the connections run short, it cuts those that have waited longest
// for a header at once: the library stops accepting at its limit, and new clients, who mostly send
// their request with the connection, would wait in the listen queue behind clients that may never
// send one. When none waits for a header (clients that never read their answers, say), it cuts the
// oldest connection of the address that holds the most, so that many addresses together cannot keep
// the others out either.
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

    // Shuts down the sockets of the connections whose header is late, and, while more than
    // kCrowded are open, of those waiting longest for one or else of the address holding most; the
    // library sees them end and closes them at its next run. Returns the milliseconds until the
    // next header is due, 0 when it shut one down (the library should run at once), -1 when none is
    // awaited.
    qint64 cutLate();

    // Connections closed so far.
    quint64 closes() const { return m_closes; }

    // Three quarters of the connections: room for the clients of one more address.
    static constexpr qsizetype kCrowded =
        qsizetype(Bounds::kPageConnections - Bounds::kPageConnectionsPerAddress);

private:
    struct Connection
    {
        // The client's address as the socket functions give it.
        QByteArray address;
        // Forever while a request is answered, and once the socket is shut down.
        QDeadlineTimer headerDue;
        // Connections opened before have a smaller one.
        quint64 serial = 0;
        bool cut = false;
    };

    void awaitHeader(Connection &connection);
    void cut(MHD_Connection *connection, Connection &state);
    void cutCrowded();

    QHash<MHD_Connection *, Connection> m_open;
    // Of m_open, those shut down that the library has not closed yet.
    qsizetype m_cut = 0;
    quint64 m_opens = 0;
    quint64 m_closes = 0;
};
