#pragma once

#include "werterow.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <optional>

class QSqlDatabase;

// What a store whose commit may leave a file wrong records beside the recovery file before that
// commit: a store that writes rows of the recovery file (which must go once the commit holds, and
// only then), or one that leaves rows out as refused (which go to the refused file once it
// holds). A kill, a crash or a power cut between the commit and the files' change can then be
// told apart from one before the commit: the record names a few rows of the store (witnesses)
// with how often each stood in Werte before it, and the commit happened exactly when Werte holds
// them more often now. The count before makes a row that happens to be there already (another
// logger's, or one typed in by hand) no witness of anything; a store's own newest rows, with the
// time stamp of that store, are taken first. No table of the user's is needed for it.
//
// A text file, written whole or not at all (DurableFile's replace):
//   Pelvaro-Vermerk 1
//   Zeilen;<rows of the recovery file that the store wrote>
//   Zeuge;<SensorNummer>;<Zeit>;<MessWert>;<copies in the store>;<count before, or -1>
//   Abgelehnt;<SensorNummer>;<Zeit>;<MessWert>;<Grund>
struct CommitRecord
{
    struct Witness
    {
        WerteRow row;
        qint64 copies = 1;
        // -1: not counted (a store of new rows only, whose time stamp no earlier row has).
        qint64 before = -1;
    };

    qint64 fileLines = 0;
    QList<Witness> witnesses;
    QList<WerteRow> refused;
    QStringList reasons;

    // Up to three witnesses among rows[from, to) without those skipped (the refused ones, by
    // their index from from), the newest first, each with how often the same row stands there.
    static QList<Witness> choose(const std::deque<WerteRow> &rows, std::size_t from, std::size_t to,
                                 const QList<qsizetype> &skipped);
    // Counts each witness in Werte through db (inside the store's own transaction, which holds the
    // store's rows already): before = found - copies. Empty text, or the database's.
    QString countBefore(QSqlDatabase &db);
    // Whether the store's commit happened: every witness stands more often than before. Without
    // a witness (every row refused) it cannot be told and counts as not. *failure gets the
    // database's text when it could not be asked.
    bool committed(QSqlDatabase &db, QString *failure) const;

    // Written whole, synced (syncWaitMs as DurableFile::commitWithin, -1 waits); empty text or
    // the system's.
    QString write(const QString &path, int syncWaitMs = -1) const;
    // nullopt when there is none; a file that is no record counts as one without witnesses.
    static std::optional<CommitRecord> read(const QString &path);
};
