#pragma once

#include <QString>
#include <QtGlobal>

// The buckets a chart's range is cut into, from a fixed ladder of lengths: 10 s, 1, 5, 15 and 30
// minutes, 1, 3, 6 and 12 hours, then days, weeks from Monday and months of the calendar. The
// shortest that gives at most the points asked for is taken (months when none does). Edges fall
// on whole multiples of the length, not on the start of the range, so that a chart that follows
// new stores keeps its buckets and only its last one grows.
//
// Times are wall-clock seconds (see WallClock): a day of text is 86400 of them whether the clocks
// went back or forward in it, so such a day stays one bucket of the chart.
class BucketGrid
{
public:
    enum class Kind { Seconds, Weeks, Months };

    // For the range [from, to).
    static BucketGrid choose(qint64 from, qint64 to, int punkte);

    Kind kind() const { return m_kind; }
    // The length in seconds; a week's, or the longest month's.
    qint64 nominalSeconds() const;
    // Whether each bucket is made of whole hours.
    bool wholeHours() const { return nominalSeconds() >= 3600; }
    // The edge at or before t, and the one after the edge given.
    qint64 start(qint64 t) const;
    qint64 next(qint64 edge) const;
    // How many buckets [from, to) touches.
    qint64 count(qint64 from, qint64 to) const;
    // "sekunden", "wochen" or "monate", for the answer of /api/werte.
    QString name() const;

private:
    BucketGrid(Kind kind, qint64 seconds) : m_kind(kind), m_seconds(seconds) {}

    Kind m_kind;
    qint64 m_seconds;
};
