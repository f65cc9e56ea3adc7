#include "httpconnections.h"

#include <microhttpd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include <sys/socket.h>

void HttpConnections::opened(MHD_Connection *connection)
{
    awaitHeader(m_open[connection]);
}

void HttpConnections::closed(MHD_Connection *connection)
{
    const auto it = m_open.find(connection);
    if (it == m_open.end()) {
        return;
    }
    m_cut -= it->cut ? 1 : 0;
    m_open.erase(it);
    ++m_closes;
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

void HttpConnections::cut(MHD_Connection *connection, Connection &state)
{
    // Shut down, not closed: the descriptor stays the library's until it closes the connection
    // itself, which it does at once on the end it now sees.
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) {
        ::shutdown(info->connect_fd, SHUT_RDWR);
    }
    state.headerDue = QDeadlineTimer(QDeadlineTimer::Forever);
    state.cut = true;
}

qint64 HttpConnections::cutLate()
{
    const qsizetype cutBefore = m_cut;
    std::vector<std::pair<qint64, MHD_Connection *>> waiting;
    for (auto it = m_open.begin(); it != m_open.end(); ++it) {
        if (it->headerDue.isForever()) {
            continue;
        }
        const qint64 left = it->headerDue.remainingTime();
        if (left > 0) {
            waiting.emplace_back(left, it.key());
            continue;
        }
        cut(it.key(), *it);
        ++m_cut;
    }
    std::sort(waiting.begin(), waiting.end());
    auto next = waiting.begin();
    for (; next != waiting.end() && m_open.size() - m_cut > kCrowded; ++next) {
        cut(next->second, m_open[next->second]);
        ++m_cut;
    }
    if (m_cut != cutBefore) {
        return 0;
    }
    return next == waiting.end() ? -1 : next->first;
}
