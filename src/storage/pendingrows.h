#pragma once

#include "commitrecord.h"
#include "database.h"
#include "recoveryfile.h"
#include "storestate.h"
#include "storethread.h"
#include "werterow.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class MainView;

// The rows of Werte on their way into the database, and everything that keeps them from being
// lost: a store appends its averages and writes every waiting row, the oldest first, in one
// transaction, on the store's own thread (StoreThread), while the event loop goes on. Rows that a
// failed store could not write wait, each with the time stamp of the store that formed it, for
// the next one; they are in the recovery file (RecoveryFile) before the pass that formed them
// ends, so that neither the end of the program nor a kill, a crash or a power cut loses them, and
// the next start takes them in. A healthy store touches no file at all. Memory and the file stay
// bounded: past the capacity the oldest row is dropped and counted.
//
// Rows that the database refuses for a reason of their own (a CHECK constraint, a value out of
// range for the column, a trigger) do not hold back the others: those are written, and the
// refused rows go, with the database's reason, to the refused file beside the recovery file.
//
// Only the owner's thread calls it. While a write is in flight nothing may be appended.
class PendingRows : public QObject
{
    Q_OBJECT

public:
    using Row = WerteRow;
    // 24 hours of the default rhythm (a store every 10 s) with 99 sensors, rounded up.
    static constexpr qsizetype kCapacity = 24 * 3600 / 10 * 100;
    // How long the end waits for a store in flight, and in all for the store, a last try and the
    // recovery file, so that it is over within a second however slow the disk.
    static constexpr int kEndStoreWaitMs = 400;
    static constexpr int kEndBudgetMs = 800;

    explicit PendingRows(qsizetype capacity = kCapacity);
    // A store still in flight is left to its thread (StoreThread::leftRunning()).
    ~PendingRows() override;

    // The database of this name and the files that belong to it (see recoveryFilePath); set once,
    // before anything is written.
    void setDatabaseName(const QString &databaseName);
    QString recoveryFile() const { return m_recovery.path(); }
    QString refusedFile() const { return m_refusedFile; }
    // Opens the store's own connection on its thread; a failure is a RuntimeError naming the
    // database. Without it every write fails with "keine Datenbank offen".
    void open();
    // The days of rows that Werte keeps (Aufbewahrung); 0, the default, keeps every row.
    void setAufbewahrung(qint32 tage);

    void append(qint32 sensorNummer, const QDateTime &zeit, double wert);
    const Row &at(qsizetype index) const { return m_rows.at(static_cast<std::size_t>(index)); }
    qsizetype size() const { return static_cast<qsizetype>(m_rows.size()); }
    bool isEmpty() const { return m_rows.empty(); }

    // Begins writing every waiting row into Werte in one transaction and returns at once.
    void startWrite(int lockWaitMs = Database::kRunningLockWaitMs);
    bool writing() const { return m_writing; }
    // Handles the view's events until the write in flight has ended (a pump that throws
    // ProgramEnd leaves it in flight). True when no row waits afterwards; false when the store
    // failed: nothing was written, the rows wait, failure() says why. Rows the database refused
    // are left out and moved to the refused file (lastRefused() counts them). Never throws but
    // ProgramEnd.
    bool waitForWrite(MainView &view);
    // startWrite() and the wait, blocking, without a view.
    bool write();

    // Start-up: the recovery file of an earlier run (and what a kill left of a store in
    // progress), read with the capacity applied, then written like a store; wait blocks until it
    // is. The notice for the journal, or the empty text when there is no file (without wait the
    // notice goes to the journal once the write has ended). A file that is not a recovery file is
    // a RuntimeError naming the file and the line; it stays as it is, and no row of it is taken.
    QString takeIn(bool wait = true);

    // The end, within kEndBudgetMs: the store in flight gets kEndStoreWaitMs; what waits then gets
    // one more short try while time is left; what cannot be confirmed stays in the recovery file.
    // The notice when waiting rows were written, else the empty text.
    QString lastTry();
    // The end: rows that still wait are in the recovery file, and report hears where they went
    // (inFile true); when even the file cannot take them, report hears why (inFile false) and
    // the rows follow in the journal. False only then. Nothing waiting: nothing is reported.
    bool keepForNextStart(const std::function<void(const QString &message, bool inFile)> &report);

    // The lines for the pass log and the journal (see StoreLines).
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

Q_SIGNALS:
    // A write has ended; its outcome is taken in already.
    void writeEnded();

private:
    void takeOutcome();
    void finish(const StoreThread::Outcome &outcome);
    void setFailure(const QString &failure);
    // The end: the write in flight is given up, and what it may have left unconfirmed is noted
    // for keepForNextStart.
    void giveUpWrite();
    // Blocks for at most ms (-1: until it ends) for the write in flight; true once it has ended.
    bool waitBlocking(int ms);
    int endTimeLeft() const;

    std::deque<Row> m_rows;
    qsizetype m_capacity;
    QString m_databaseName;
    qint32 m_aufbewahrung = 0;
    RecoveryFile m_recovery;
    QString m_refusedFile;
    std::unique_ptr<StoreThread> m_thread;
    bool m_writing = false;
    // The rows of the write in flight (or the latest), and whether it is the start's.
    std::size_t m_jobRows = 0;
    bool m_takingIn = false;
    QString m_takeInNotice;
    qint64 m_takeInDropped = 0;
    // The recovery file: it holds m_fileLines rows, the last m_filed of which are m_rows' first
    // ones (the others were dropped at the capacity). m_record: a store's record is on disk,
    // for the rows m_rows[0, m_uncertain).
    qint64 m_fileLines = 0;
    std::size_t m_filed = 0;
    bool m_record = false;
    std::size_t m_uncertain = 0;
    bool m_reconnect = false;
    // The end gave the write in flight up: no other begins; the file may be being rewritten by
    // it (m_unsafeFile), and a record of a commit it may have made is still to be written.
    bool m_givenUp = false;
    bool m_unsafeFile = false;
    std::optional<CommitRecord> m_endRecord;
    QElapsedTimer m_endClock;
    qint64 m_dropped = 0;
    QString m_failure;
    QDateTime m_failingSince;
    qint64 m_failedStores = 0;
    qsizetype m_lastRefused = 0;
    QString m_lastRefusedReason;
    bool m_lastRefusedInFile = false;
    qint64 m_refused = 0;
    QString m_keepFailure;
    QHash<qint32, Row> m_lastWritten;
};
