#pragma once

#include "statussource.h"
#include "wertereader.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

// What the status page knows of Werte beside the running program: whether it has its index, and the
// latest stored value of each sensor as the database held it at start.
struct WerteFacts
{
    WerteReader::Index index = WerteReader::Index::Unknown;
    QHash<qint32, StatusSource::Stored> storedAtStart;
    // Read on the reader thread again when a status is asked for and this is a minute old.
    WerteReader::Bestand bestand;
};

// The answers built from the running program, on the window's thread. Every text from the
// database goes into them escaped for its format (JSON here, Prometheus labels in metricsText).
namespace StatusReport {

struct Health
{
    bool ok = true;
    // Why not, one line in German.
    QString reason;
};

// Healthy while passes come on time and the store works. On time: the latest pass (or the start)
// ended no longer ago than MessIntervall plus the longest a pass may take (Bounds::kFetchWaitMs per
// device one after the other, or ParallelAbfrage seconds) plus kSlackSeconds.
constexpr qint64 kSlackSeconds = 10;
Health health(const StatusSource &source, const QDateTime &now);

// /api/status: see the README for its fields, which stay as they are.
QByteArray json(const StatusSource &source, const WerteFacts &facts);

// A computed value (a mean) as the program writes numbers: at most 15 significant digits, so that
// the noise of the last binary digits does not reach the JSON.
double asWritten(double value);

// The name of the device of the sensor at this position; empty when it names none.
QString deviceOf(const Registry &registry, qint32 sensor);
// The latest stored value: written in this run, or else as the database held it at start.
std::optional<StatusSource::Stored> stored(const StatusSource &source, const WerteFacts &facts,
                                           qint32 sensorNummer);

} // namespace StatusReport
