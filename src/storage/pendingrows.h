#pragma once

#include "storestate.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <deque>
#include <functional>

class Database;

// The rows of Werte on their way into the database, and everything that keeps them from being
// lost: a store appends its averages and writes every waiting row, the oldest first, in one
// transaction; rows that a failed store could not write wait, each with the time stamp of the
// store that formed it, for the next one. Memory stays bounded: past the capacity the oldest row
// is dropped and counted.
//
// Rows that the database refuses for a reason of their own (a CHECK constraint, a value out of
// range for the column, a trigger) do not hold back the others: those are written, and the
// refused rows go, with the database's reason, to the refused file beside the recovery file.
//
// Over the end of the program the rows live in the recovery file: the program takes it in at
// start (takeIn), writes it at the end (saveBeforeLastTry, keepForNextStart), and it goes as soon
// as its rows are written. The file holds one row a line after a header line:
//   SensorNummer;Zeit;MessWert
//   7;2026-12-05 08:04:09;21.5
// Zeit is the local time of the store that formed the row; MessWert keeps the value exactly. The
// refused file has the same form with a fourth column Grund.
class PendingRows
{
public:
    // 24 hours of the default rhythm (a store every 10 s) with 99 sensors, rounded up.
    static constexpr qsizetype kCapacity = 24 * 3600 / 10 * 100;

    // 16 bytes. zeit: seconds since 1970 UTC, so the local time text comes back exactly as the
    // store took it; a clock outside 1970 to 2106 is clamped to that range.
    struct Row
    {
        qint32 sensorNummer;
        quint32 zeit;
        double wert;
    };

    // Rows that no file could take go to the journal, one a line (see Journal).
    explicit PendingRows(qsizetype capacity = kCapacity);

    // The files that belong to the database of this name (see recoveryFilePath); set once, before
    // anything is written.
    void setDatabaseName(const QString &databaseName);
    QString recoveryFile() const { return m_recoveryFile; }
    QString refusedFile() const { return m_refusedFile; }

    void append(qint32 sensorNummer, const QDateTime &zeit, double wert);
    const Row &at(qsizetype index) const { return m_rows.at(static_cast<std::size_t>(index)); }
    qsizetype size() const { return static_cast<qsizetype>(m_rows.size()); }
    bool isEmpty() const { return m_rows.empty(); }

    // Writes every waiting row into Werte of database (null: none open) in one transaction.
    // True when none waits afterwards; then a recovery file whose rows these were goes too. False
    // when the store failed: nothing was written, the rows wait, failure() says why. Rows the
    // database refused are left out and moved to the refused file (lastRefused() counts them).
    // After a failed store the connection is first made anew (Database::reconnect). Never throws.
    bool write(Database *database);

    // Start-up: the recovery file of an earlier run, read with the capacity applied as it is read,
    // then written like a store. The notice for the journal, or the empty text when there is no
    // file. A file that is not a recovery file is a RuntimeError naming the file and the line; it
    // stays as it is, and no row of it is taken.
    QString takeIn(Database *database);

    // The end, while the database is still open: the rows go into the recovery file first, so
    // that a last try that hangs until the program is killed loses nothing, then one more try to
    // write them. The notice when they were written, else the empty text.
    QString lastTry(Database *database);
    // The end: rows that still wait go into the recovery file, and report hears where they went
    // (inFile true); when even the file cannot take them, report hears why (inFile false) and
    // the rows follow in the journal. False only then. Nothing waiting: nothing is reported.
    bool keepForNextStart(const std::function<void(const QString &message, bool inFile)> &report);

    // The lines for the pass log and the journal. After a store that failed: why, and how many
    // wait. While rows wait. Once count waiting rows have been written. After a store that left
    // out refused rows: how many, why, and where they went.
    QString failedLine() const;
    QString waitingLine() const;
    QString writtenLine(qsizetype count) const;
    QString refusedLine() const;

    // Dropped because the capacity was reached, since the count was last reset.
    qint64 dropped() const { return m_dropped; }
    void resetDropped() { m_dropped = 0; }
    // The database's text for why the latest store failed; empty while storing works.
    QString failure() const { return m_failure; }
    // Rows refused by the latest store, and the first reason given.
    qsizetype lastRefused() const { return m_lastRefused; }
    QString lastRefusedReason() const { return m_lastRefusedReason; }

    StoreState state() const;
    // The latest row written for a sensor in this run; false when none was.
    bool lastWritten(qint32 sensorNummer, Row *row) const;

    static QDateTime zeitOf(const Row &row);

private:
    void store(std::deque<Row> &rows, qint32 sensorNummer, const QDateTime &zeit, double wert);
    void setFailure(const QString &failure);
    void moveToRefusedFile(const QList<Row> &rows, const QStringList &reasons);
    bool writeRecoveryFile(QString *error) const;
    void removeRecoveryFile();
    QString droppedNote() const;

    std::deque<Row> m_rows;
    qsizetype m_capacity;
    QString m_databaseName;
    QString m_recoveryFile;
    QString m_refusedFile;
    // The recovery file holds rows that wait now (taken in, or saved before the last try): the
    // first m_fileRows of them, as the oldest are the ones dropped at the capacity.
    bool m_fileHoldsRows = false;
    qsizetype m_fileRows = 0;
    qint64 m_dropped = 0;
    QString m_failure;
    QDateTime m_failingSince;
    qint64 m_failedStores = 0;
    qsizetype m_lastRefused = 0;
    QString m_lastRefusedReason;
    bool m_lastRefusedInFile = false;
    qint64 m_refused = 0;
    QHash<qint32, Row> m_lastWritten;
};

// "<database>.ausstehend" beside an SQLite file; for a server or an ODBC source
// "Messwerte-<12 hex digits of the name's SHA-1>.ausstehend" in $STATE_DIRECTORY (set by systemd's
// StateDirectory=) or else the working folder.
QString recoveryFilePath(const QString &databaseName);
