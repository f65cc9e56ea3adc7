#pragma once

// The state that the store's thread and its owner share, and the steps of one store; only the
// store thread's own files include it.

#include "storethread.h"

#include "aufbewahrung.h"
#include "langzeitabgleich.h"
#include "recoveryfile.h"
#include "refusedfile.h"

#include <QElapsedTimer>

#include <condition_variable>
#include <mutex>
#include <optional>

class Database;

// What a store given up returns from its transaction, so that it rolls back.
extern const QString kStoreGivenUp;

struct StoreThread::Shared
{
    QString databaseName;
    RecoveryFile recovery;
    RefusedFile refused;
    QString recordPath;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    std::function<void()> ended;
    bool started = false;
    bool opened = false;
    bool finished = false;
    QString openError;
    std::optional<Job> job;
    bool busy = false;
    bool stopping = false;
    bool abandoned = false;
    Phase phase = Phase::Idle;
    Outcome outcome;
    // Known once the statements have run, for a store given up in its commit.
    QList<CommitRecord::Witness> witnesses;
    QList<qsizetype> refusedRows;
    QStringList reasons;
    // The recovery file as the store in flight has left it so far, in the caller's rows.
    std::size_t first = 0;
    std::size_t filed = 0;
    qint64 fileLines = 0;
    bool kept = false;
    // Lives on the store's thread; langzeit is its state as the owner reads it.
    LangzeitAbgleich abgleich;
    StoreState::Langzeit langzeit;
    // Lives on the store's thread too; aufbewahrungTage is what the owner set last.
    Aufbewahrung aufbewahrung;
    qint32 aufbewahrungTage = 0;
    // write_bytes at the start of the first store measured.
    std::optional<qint64> firstWritten;
    QElapsedTimer sinceFirstStore;
    StoreState::Schreibrate schreibrate;

    // Moves on to phase unless the store was given up; false then.
    bool enter(Phase next)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (abandoned) {
            return false;
        }
        phase = next;
        return true;
    }

    void run();
    // At the start of a store, with the mutex held.
    void measureWrites();
    Outcome execute(Database &database, const Job &job);
    bool resolve(Database &database, const Job &job, Outcome &outcome, std::size_t &first);
    // rows not yet in the file go there; a file that holds too many dropped rows is rewritten
    // unless a record counts its lines.
    void keep(const Job &job, std::size_t first, Outcome &outcome, bool mayRewrite);
};
