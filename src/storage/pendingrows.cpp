#include "pendingrows.h"

#include <QDateTime>

#include <algorithm>
#include <limits>

PendingRows::PendingRows(qsizetype capacity) : m_capacity(std::max<qsizetype>(capacity, 1)) {}

void PendingRows::append(qint32 sensorNummer, const QDateTime &zeit, double wert)
{
    if (size() >= m_capacity) {
        m_rows.pop_front();
        ++m_dropped;
    }
    const qint64 seconds =
        std::clamp<qint64>(zeit.toSecsSinceEpoch(), 0, std::numeric_limits<quint32>::max());
    m_rows.push_back(Row{sensorNummer, static_cast<quint32>(seconds), wert});
}

void PendingRows::clear()
{
    // A deque keeps its blocks after clear(); a backlog of a day's rows should not stay resident.
    std::deque<Row>().swap(m_rows);
    m_failure.clear();
}

QDateTime PendingRows::zeitOf(const Row &row)
{
    return QDateTime::fromSecsSinceEpoch(row.zeit);
}
