#pragma once

#include <QString>
#include <QtGlobal>

#include <deque>

class QDateTime;

// Rows of Werte that a store could not write, oldest first, each with the time stamp of the store
// that formed it. They are written first at the next store. Memory stays bounded: past the
// capacity the oldest row is dropped and counted.
class PendingRows
{
public:
    // 24 hours of the default rhythm (a store every 10 s) with 100 sensors.
    static constexpr qsizetype kCapacity = 24 * 3600 / 10 * 100;

    // 16 bytes. zeit: seconds since 1970 UTC, so the local time text comes back exactly as the
    // store took it; a clock outside 1970 to 2106 is clamped to that range.
    struct Row
    {
        qint32 sensorNummer;
        quint32 zeit;
        double wert;
    };

    explicit PendingRows(qsizetype capacity = kCapacity);

    void append(qint32 sensorNummer, const QDateTime &zeit, double wert);
    const Row &at(qsizetype index) const { return m_rows.at(static_cast<std::size_t>(index)); }
    qsizetype size() const { return static_cast<qsizetype>(m_rows.size()); }
    bool isEmpty() const { return m_rows.empty(); }
    // After the rows have been written.
    void clear();

    // Rows dropped because the capacity was reached, since the count was last reset.
    qint64 dropped() const { return m_dropped; }
    void resetDropped() { m_dropped = 0; }

    // The database's text for why the latest attempt to write them failed.
    QString failure() const { return m_failure; }
    void setFailure(const QString &failure) { m_failure = failure; }

    static QDateTime zeitOf(const Row &row);

private:
    std::deque<Row> m_rows;
    qsizetype m_capacity;
    qint64 m_dropped = 0;
    QString m_failure;
};
