#include "storethreadshared.h"

#include "database.h"
#include "durablefile.h"
#include "runtime/runtimeerror.h"
#include "runtime/timeformats.h"
#include "stundenwerte.h"

#include <QSqlDatabase>

bool StoreThread::Shared::resolve(Database &database, const Job &job, Outcome &outcome,
                                  std::size_t &first)
{
    const std::optional<CommitRecord> record = CommitRecord::read(recordPath);
    if (!record) {
        return true;
    }
    QSqlDatabase db = database.connection();
    QString failure;
    const bool landed = record->committed(db, &failure);
    if (!failure.isEmpty()) {
        outcome.failure = failure;
        return false;
    }
    if (landed) {
        if (!record->refused.isEmpty()) {
            outcome.refusedError = refused.append(record->refused, record->reasons, true);
        }
        // The file must not hold the rows that landed once its record is gone: taken in again,
        // they would stand in Werte twice.
        first = std::min(job.uncertain, job.count);
        const std::size_t filed = std::max(job.filed, first);
        const QString rewritten = filed > first ? recovery.rewrite(*job.rows, first, filed)
                                                : removeDurably({recovery.path()});
        if (!rewritten.isEmpty()) {
            outcome.failure = QStringLiteral("die Datei '%1' lässt sich nicht berichtigen: %2")
                                  .arg(recovery.path(), rewritten);
            return false;
        }
        outcome.alreadyStored = first;
        outcome.filed = filed - first;
        outcome.fileLines = qint64(outcome.filed);
        const std::lock_guard<std::mutex> lock(mutex);
        this->first = first;
        this->filed = outcome.filed;
        this->fileLines = outcome.fileLines;
    }
    const QString removed = removeDurably({recordPath});
    if (!removed.isEmpty()) {
        outcome.note =
            QStringLiteral("Die Datei '%1' lässt sich nicht löschen: %2").arg(recordPath, removed);
    }
    return true;
}

StoreThread::Outcome StoreThread::Shared::execute(Database &database, const Job &job)
{
    Outcome outcome;
    outcome.fileLines = job.fileLines;
    outcome.filed = job.filed;
    std::size_t first = 0;
    QString away;
    if (job.reconnect && !database.reconnect(&away)) {
        outcome.failure = away;
        outcome.uncertain = job.record;
        outcome.uncertainRows = job.uncertain;
        if (enter(Phase::Keeping)) {
            keep(job, 0, outcome, !job.record);
        }
        return outcome;
    }
    database.waitForLocks(job.lockWaitMs);
    if (job.record) {
        if (!enter(Phase::Resolving)) {
            return outcome;
        }
        if (!resolve(database, job, outcome, first)) {
            // Its record stays, so the file keeps the lines it counts.
            outcome.uncertain = true;
            outcome.uncertainRows = job.uncertain;
            if (enter(Phase::Keeping)) {
                keep(job, 0, outcome, false);
            }
            return outcome;
        }
    }
    if (!enter(Phase::Writing)) {
        return outcome;
    }
    // From here on indices count from first; what follows speaks of the rows still to write.
    const std::size_t filed = std::max(job.filed, first) - first;
    const std::size_t count = job.count - first;
    const qint64 fileLines = outcome.fileLines;
    if (count == 0) {
        // Nothing left to write: a file of rows that landed or were dropped goes.
        if (fileLines > 0 && enter(Phase::Committed)) {
            removeDurably({recovery.path()});
            outcome.fileLines = 0;
        }
        return outcome;
    }
    bool recorded = false;
    QList<Database::Refusal> refusals;
    CommitRecord record;
    const auto beforeCommit = [&]() -> QString {
        QList<qsizetype> skipped;
        QStringList reasons;
        for (const Database::Refusal &refusal : std::as_const(refusals)) {
            skipped.append(refusal.index);
            reasons.append(refusal.reason);
        }
        record.fileLines = fileLines;
        record.witnesses = CommitRecord::choose(*job.rows, first, job.count, skipped);
        for (const qsizetype index : std::as_const(skipped)) {
            record.refused.append((*job.rows)[first + std::size_t(index)]);
        }
        record.reasons = reasons;
        if (abgleich.enabled()) {
            // The rows' hours, in the same transaction: the figures land with the rows or not
            // at all. A refused row is not in Werte, so not in them either.
            Stundenwerte::Hours hours;
            qsizetype next = 0;
            for (std::size_t i = first; i < job.count; ++i) {
                if (next < skipped.size() && skipped.at(next) == qsizetype(i - first)) {
                    ++next;
                    continue;
                }
                const WerteRow &row = (*job.rows)[i];
                Stundenwerte::count(hours, row.sensorNummer, TimeFormat::werteText(row.zeitLocal()),
                                    row.wert);
            }
            QSqlDatabase db = database.connection();
            const QString added = abgleich.stored(db, hours);
            if (!added.isEmpty()) {
                return added;
            }
        }
        const bool needed = filed > 0 || fileLines > 0 || !skipped.isEmpty();
        if (needed) {
            QSqlDatabase db = database.connection();
            const QString counted = record.countBefore(db);
            if (!counted.isEmpty()) {
                return counted;
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            witnesses = record.witnesses;
            refusedRows = skipped;
            this->reasons = reasons;
        }
        if (needed) {
            if (!enter(Phase::Recording)) {
                return kStoreGivenUp;
            }
            const QString written = record.write(recordPath);
            if (!written.isEmpty()) {
                return QStringLiteral("die Datei '%1' lässt sich nicht schreiben: %2")
                    .arg(recordPath, written);
            }
            recorded = true;
        }
        return enter(Phase::Committing) ? QString() : kStoreGivenUp;
    };
    bool atCommit = false;
    const QString failure = database.executeInTransaction(
        qsizetype(count),
        [&job, first](qsizetype i) { return (*job.rows)[first + std::size_t(i)].insert(); },
        &refusals, beforeCommit, &atCommit);
    abgleich.landed(failure.isEmpty());
    if (failure.isEmpty()) {
        if (!enter(Phase::Committed)) {
            return outcome;
        }
        for (const Database::Refusal &refusal : std::as_const(refusals)) {
            outcome.refused.append(qsizetype(first) + refusal.index);
            outcome.reasons.append(refusal.reason);
        }
        if (!record.refused.isEmpty()) {
            outcome.refusedError = refused.append(record.refused, record.reasons);
        }
        if (fileLines > 0 || recorded) {
            const QString removed = removeDurably({recovery.path(), recordPath});
            if (!removed.isEmpty()) {
                outcome.note =
                    QStringLiteral("Die Datei '%1' lässt sich nicht löschen (%2). Ihre Messwerte "
                                   "stehen schon in der Datenbank: bitte die Datei löschen, sonst "
                                   "werden sie beim nächsten Start noch einmal eingetragen.")
                        .arg(recovery.path(), removed);
            }
        }
        outcome.fileLines = 0;
        outcome.filed = 0;
        return outcome;
    }
    if (failure == kStoreGivenUp) {
        return outcome;
    }
    outcome.failure = failure;
    if (!enter(Phase::Keeping)) {
        return outcome;
    }
    keep(job, first, outcome, true);
    if (atCommit) {
        // Whether it landed is told by the database at the next store.
        record.fileLines = outcome.fileLines;
        const QString written = record.write(recordPath);
        outcome.uncertain = written.isEmpty();
        outcome.uncertainRows = count;
        if (!written.isEmpty()) {
            outcome.note = QStringLiteral("Die Datei '%1' lässt sich nicht schreiben: %2")
                               .arg(recordPath, written);
        }
    } else if (recorded) {
        removeDurably({recordPath});
    }
    return outcome;
}

void StoreThread::Shared::keep(const Job &job, std::size_t first, Outcome &outcome, bool mayRewrite)
{
    // In the caller's rows once the first ones are gone.
    const std::size_t filed = outcome.filed;
    const std::size_t count = job.count - first;
    if (filed >= count) {
        return;
    }
    const qint64 dead = outcome.fileLines - qint64(filed);
    const bool rewrite = mayRewrite && dead > job.deadLinesLimit;
    const auto written = [this] {
        const std::lock_guard<std::mutex> lock(mutex);
        kept = true;
    };
    const QString failure = rewrite
                                ? recovery.rewrite(*job.rows, first, job.count, written)
                                : recovery.append(*job.rows, first + filed, job.count, -1, written);
    if (!failure.isEmpty()) {
        outcome.keepError = failure;
        return;
    }
    outcome.fileLines = rewrite ? qint64(count) : outcome.fileLines + qint64(count - filed);
    outcome.filed = count;
}
