#include "httpconnections.h"

#include "runtime/bounds.h"

#include <microhttpd.h>

#include <algorithm>

#include <sys/socket.h>

void HttpConnections::opened(MHD_Connection *connection)
{
    awaitHeader(m_open[connection]);
}

void HttpConnections::closed(MHD_Connection *connection)
{
    if (m_open.remove(connection)) {
        ++m_closes;
    }
}

void HttpConnections::headerArrived(MHD_Connection *connection)
{
    if (const auto it = m_open.find(connection); it != m_open.end()) {
        it->headerDue = QDeadlineTimer(QDeadlineTimer::Forever);
    }
}

void HttpConnections::answered(MHD_Connection *connection)
{
    if (const auto it = m_open.find(connection); it != m_open.end()) {
        awaitHeader(*it);
    }
}

void HttpConnections::awaitHeader(Connection &connection)
{
    connection.headerDue = QDeadlineTimer(qint64(Bounds::kPageHeaderSeconds) * 1000);
}

qint64 HttpConnections::cutLate()
{
    qint64 next = -1;
    bool cut = false;
    for (auto it = m_open.begin(); it != m_open.end(); ++it) {
        if (it->headerDue.isForever()) {
            continue;
        }
        const qint64 left = it->headerDue.remainingTime();
        if (left > 0) {
            next = next < 0 ? left : std::min(next, left);
            continue;
        }
        // Shut down, not closed: the descriptor stays the library's until it closes the
        // connection itself, which it does at once on the end it now sees.
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(it.key(), MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info != nullptr) {
            ::shutdown(info->connect_fd, SHUT_RDWR);
        }
        it->headerDue = QDeadlineTimer(QDeadlineTimer::Forever);
        cut = true;
    }
    return cut ? 0 : next;
}
