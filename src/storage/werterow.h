#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QtGlobal>

// One row of Werte on its way into the database, as it waits in memory and in the recovery
// file: 16 bytes. zeit: seconds since 1970 UTC, so the local time text comes back exactly as the
// store took it; a clock outside 1970 to 2106 is clamped to that range.
struct WerteRow
{
    qint32 sensorNummer;
    quint32 zeit;
    double wert;

    static WerteRow of(qint32 sensorNummer, const QDateTime &zeit, double wert);
    QDateTime zeitLocal() const { return QDateTime::fromSecsSinceEpoch(zeit); }

    // "7;2026-12-05 08:04:09;21.5": the line of the recovery file, MessWert with every digit.
    QByteArray line() const;
    // The row of such a line; false for anything else.
    static bool fromLine(const QByteArray &line, WerteRow *row);

    // The statement that writes it into Werte (see insertStatement).
    QString insert() const;
};

bool operator==(const WerteRow &a, const WerteRow &b);
