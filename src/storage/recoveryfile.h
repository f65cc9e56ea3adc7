#pragma once

#include "werterow.h"

#include <QString>

#include <deque>
#include <functional>

// The rows that wait, on disk: a store that cannot write its rows appends them here before its
// pass ends, so that neither the end of the program nor a kill, a crash or a power cut loses
// them, and the next start takes them in. The form has stayed the same since the first versions,
// so that any such file is still taken in:
//   SensorNummer;Zeit;MessWert
//   7;2026-12-05 08:04:09;21.5
// Zeit is the local time of the store that formed the row; MessWert keeps the value exactly.
// Appends add to the end (a failure cuts the file back to where it was); a rewrite replaces the
// whole file at once. Every write is synced, and the folder with it where an entry changes.
class RecoveryFile
{
public:
    explicit RecoveryFile(QString path = QString()) : m_path(std::move(path)) {}

    QString path() const { return m_path; }
    bool exists() const;

    struct Contents
    {
        // The newest rows, at most the capacity given.
        std::deque<WerteRow> rows;
        // Rows the file holds, and those of them left out as older than the capacity allows.
        qint64 lines = 0;
        qint64 dropped = 0;
        // The last line had no line end: an append that a kill or a power cut interrupted. It
        // belongs to the pass that was cut short and is left out.
        bool unfinished = false;
    };
    // Throws RuntimeError naming the file and the line for a line that is no row; the file stays
    // as it is.
    Contents read(qsizetype capacity) const;

    // rows[from, to) at the end of the file, which is made with its header when it is new. The
    // system's text for a failure, or the empty text. syncWaitMs as DurableFile::commitWithin;
    // -1 waits for the syncs.
    // written, when given, runs once the bytes are with the system, before the syncs.
    QString append(const std::deque<WerteRow> &rows, std::size_t from, std::size_t to,
                   int syncWaitMs = -1, const std::function<void()> &written = {}) const;
    // The whole file replaced by rows[from, to).
    QString rewrite(const std::deque<WerteRow> &rows, std::size_t from, std::size_t to,
                    const std::function<void()> &written = {}) const;

private:
    QString m_path;
};

// "<database>.ausstehend" beside an SQLite file; for a server or an ODBC source
// "Messwerte-<12 hex digits of the name's SHA-1>.ausstehend" in $STATE_DIRECTORY (set by systemd's
// StateDirectory=) or else the working folder.
QString recoveryFilePath(const QString &databaseName);
// The files beside it: refused rows ("abgelehnt") and the record of a store in progress.
QString refusedFilePath(const QString &recoveryFile);
QString commitRecordPath(const QString &recoveryFile);
