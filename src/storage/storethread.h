#pragma once

#include "commitrecord.h"
#include "storestate.h"
#include "werterow.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>

// The store's own thread with its own connection, so that its waits for the disk (an SD card's
// syncs, a slow server, another program's lock) hold up nothing else: the page, the window, "Ende"
// and the signals go on while a store runs. One store at a time; the caller waits for its outcome
// before the next (the pass log and the cycle wait for it as before).
//
// Everything a store does with the recovery file happens here too, in this order, so that no row
// is lost or stored twice whenever the program is killed:
//  - a store that fails appends the rows not yet in the recovery file to it, synced, before its
//    outcome is told (so before the pass that formed them ends);
//  - a store that writes rows of the file, or leaves rows out as refused, first writes its
//    CommitRecord, then commits, then removes the file and the record (and adds the refused rows
//    to their file); a start after a kill at any point finds out from the record whether the
//    commit happened and acts on it;
//  - a store whose commit failed without telling whether it happened (a server that went away
//    while it answered) leaves a record for the next store, which asks the database first.
//
// The end of the program may not wait for a slow disk: abandon() gives the store in flight up and
// says how far it had come, so that the caller can keep what it cannot confirm (see Phase).
class StoreThread
{
public:
    // How far the store in flight has come, as abandon() reports it.
    enum class Phase {
        // No store in flight.
        Idle,
        // Asking whether an earlier commit happened, or putting the file in order after it.
        Resolving,
        // Its statements run: nothing is committed, and it will not be once given up.
        Writing,
        // Its record is being written; the commit has not begun and will not once given up.
        Recording,
        // The commit runs: whether it lands cannot be told.
        Committing,
        // It has landed; the files are being put in order.
        Committed,
        // It failed; the rows not yet in the recovery file are going there.
        Keeping,
    };

    struct Job
    {
        // Read, never changed, while the job runs; the caller keeps them unchanged till then.
        const std::deque<WerteRow> *rows = nullptr;
        std::size_t count = 0;
        // rows[0, filed) stand in the recovery file, which holds fileLines rows (at its start the
        // ones dropped at the capacity).
        std::size_t filed = 0;
        qint64 fileLines = 0;
        // A file holding this many more rows than wait is rewritten rather than appended to.
        qint64 deadLinesLimit = 0;
        // A record of an earlier store is on disk (its commit could not be told, or a kill cut it
        // short): it is settled first. rows[0, uncertain) are the rows that store wrote.
        bool record = false;
        std::size_t uncertain = 0;
        int lockWaitMs = 0;
        // The store before failed: the connection is made anew first (a server back again).
        bool reconnect = false;
    };

    struct Outcome
    {
        // Empty: written. Otherwise the database's own text.
        QString failure;
        // rows[0, alreadyStored) had landed by an earlier commit after all; the others were
        // written now (or, after a failure, still wait).
        std::size_t alreadyStored = 0;
        // By index into rows, ascending, with the database's reasons.
        QList<qsizetype> refused;
        QStringList reasons;
        // Why the refused file could not take them; they then go to the journal.
        QString refusedError;
        // After a failure: why the rows could not go into the recovery file (a full disk).
        QString keepError;
        // The file after the job, counted in the caller's rows once alreadyStored are gone.
        qint64 fileLines = 0;
        std::size_t filed = 0;
        // A record stays on disk for the rows of the caller's rows[0, uncertainRows): a commit
        // that failed without telling whether it happened, or one whose fate the database could
        // not be asked about. The next store asks first.
        bool uncertain = false;
        std::size_t uncertainRows = 0;
        // Something for the journal that is no failure of the store (a file that could not go).
        QString note;
    };

    // What abandon() found.
    struct GivenUp
    {
        Phase phase = Phase::Idle;
        // The store's witnesses and refusals, once its statements had run.
        QList<CommitRecord::Witness> witnesses;
        QList<qsizetype> refused;
        QStringList reasons;
        // The recovery file as it had left it: rows[first, first + filed) of the job stand in
        // it, which holds fileLines rows.
        std::size_t first = 0;
        std::size_t filed = 0;
        qint64 fileLines = 0;
        // Keeping: the rows are with the system already (only their syncs were still running).
        bool kept = false;
    };

    // ended runs on the store's thread after each job; it must only post to the owner's thread.
    StoreThread(QString databaseName, QString recoveryFile, std::function<void()> ended);
    // Idle: the connection is closed and the thread ends. A store still in flight is left to run
    // until the process ends (leftRunning()).
    ~StoreThread();
    StoreThread(const StoreThread &) = delete;
    StoreThread &operator=(const StoreThread &) = delete;

    // Opens the thread's connection and waits for it; a failure is a RuntimeError naming the
    // database, as at start-up.
    void open();
    void start(const Job &job);
    bool busy() const;
    // Blocks for at most ms until the store in flight has ended; true when none is in flight.
    bool waitFor(int ms);
    // The outcome of the latest job, once it has ended.
    Outcome take();
    // Gives the store in flight up: it writes nothing more into the files (see Phase for what it
    // may still do to the database) and its outcome never comes.
    GivenUp abandon();
    // The days of rows that Werte keeps (see Aufbewahrung); 0 keeps every row. Taken before the
    // next step between stores.
    void setAufbewahrung(qint32 tage);
    // The hourly figures: whether they are kept, and how far they are in step with Werte.
    StoreState::Langzeit langzeit() const;
    // What the process has written per store so far.
    StoreState::Schreibrate schreibrate() const;

    // Whether a store thread could not be ended in this process: the process must then end
    // without running the library's own clean-up, which that thread may still be inside.
    static bool leftRunning();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
