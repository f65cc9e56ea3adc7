#include "httpconnections.h"

#include <microhttpd.h>

#include <algorithm>

#include <netinet/in.h>
#include <sys/socket.h>

void HttpConnections::opened(MHD_Connection *connection)
{
    Connection &state = m_open[connection];
    state.serial = ++m_opens;
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info != nullptr && info->client_addr != nullptr) {
        const sockaddr *peer = info->client_addr;
        state.address =
            peer->sa_family == AF_INET6
                ? QByteArray(reinterpret_cast<const char *>(
                                 &reinterpret_cast<const sockaddr_in6 *>(peer)->sin6_addr),
                             sizeof(in6_addr))
                : QByteArray(reinterpret_cast<const char *>(
                                 &reinterpret_cast<const sockaddr_in *>(peer)->sin_addr),
                             sizeof(in_addr));
    }
    awaitHeader(state);
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
    // A connection that was cut may still end its answer before the library closes it.
    if (connection.cut) {
        return;
    }
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
    ++m_cut;
}

void HttpConnections::cutCrowded()
{
    // A client that has been waited for longer than this is not one that sent its request with
    // the connection.
    constexpr qint64 kGraceMs = 1000;
    constexpr qint64 kStillDueMs = qint64(Bounds::kPageHeaderSeconds) * 1000 - kGraceMs;
    QHash<QByteArray, qsizetype> held;
    for (const Connection &state : std::as_const(m_open)) {
        held[state.address] += state.cut ? 0 : 1;
    }
    while (m_open.size() - m_cut > kCrowded) {
        const auto most = std::max_element(held.begin(), held.end());
        auto waited = m_open.end();
        auto oldest = m_open.end();
        for (auto it = m_open.begin(); it != m_open.end(); ++it) {
            if (it->cut) {
                continue;
            }
            if (!it->headerDue.isForever() && it->headerDue.remainingTime() <= kStillDueMs
                && (waited == m_open.end() || it->serial < waited->serial)) {
                waited = it;
            }
            if (it->address == most.key()
                && (oldest == m_open.end() || it->serial < oldest->serial)) {
                oldest = it;
            }
        }
        const auto victim = waited != m_open.end() ? waited : oldest;
        --held[victim->address];
        cut(victim.key(), *victim);
    }
}

qint64 HttpConnections::cutLate()
{
    const qsizetype cutBefore = m_cut;
    for (auto it = m_open.begin(); it != m_open.end(); ++it) {
        if (!it->headerDue.isForever() && it->headerDue.hasExpired()) {
            cut(it.key(), *it);
        }
    }
    cutCrowded();
    if (m_cut != cutBefore) {
        return 0;
    }
    qint64 next = -1;
    for (const Connection &state : std::as_const(m_open)) {
        if (!state.headerDue.isForever()) {
            const qint64 left = state.headerDue.remainingTime();
            next = next < 0 ? left : std::min(next, left);
        }
    }
    return next;
}
