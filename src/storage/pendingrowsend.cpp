// The end of the program: the store in flight, a last try and the recovery file within a bounded
// time, however slow the disk.
#include "pendingrows.h"

#include "commitrecord.h"
#include "durablefile.h"
#include "runtime/journal.h"
#include "storelines.h"

#include <algorithm>

namespace {

// What the end leaves for the syncs of its last writes: whatever is written by then survives
// the end of the program; only a power cut in the next moments could take it.
constexpr int kEndSyncReserveMs = 150;
// A last try at the end only when there is time for it.
constexpr int kEndLastTryMinMs = 300;

} // namespace

void PendingRows::giveUpWrite()
{
    const StoreThread::GivenUp givenUp = m_thread->abandon();
    if (givenUp.phase == StoreThread::Phase::Idle) {
        // It ended just now.
        takeOutcome();
        return;
    }
    m_writing = false;
    m_givenUp = true;
    if (givenUp.phase == StoreThread::Phase::Committed) {
        // It landed; only the files were still being put in order, which a start finishes.
        StoreThread::Outcome landed;
        landed.alreadyStored = givenUp.first;
        for (const qsizetype index : givenUp.refused) {
            landed.refused.append(qsizetype(givenUp.first) + index);
        }
        landed.reasons = givenUp.reasons;
        landed.refusedError = QStringLiteral("das Programm endete");
        finish(landed);
        return;
    }
    const std::size_t first = std::min(givenUp.first, m_rows.size());
    for (std::size_t i = 0; i < first; ++i) {
        m_lastWritten.insert(m_rows[i].sensorNummer, m_rows[i]);
    }
    m_rows.erase(m_rows.begin(), m_rows.begin() + std::ptrdiff_t(first));
    m_filed = std::min(givenUp.filed, m_rows.size());
    m_fileLines = givenUp.fileLines;
    if (givenUp.phase == StoreThread::Phase::Keeping && givenUp.kept) {
        // The rows are in the file; only its syncs were still running.
        m_filed = m_rows.size();
        m_fileLines += qint64(m_rows.size());
    }
    // The store's thread is writing that file itself (a file system that does not answer): what
    // it does not hold yet goes to the journal rather than in beside it.
    m_unsafeFile = givenUp.phase == StoreThread::Phase::Resolving
                   || givenUp.phase == StoreThread::Phase::Keeping;
    if (givenUp.phase == StoreThread::Phase::Committing) {
        // Whether it lands cannot be told now: the start asks the database.
        m_endRecord = CommitRecord();
        m_endRecord->witnesses = givenUp.witnesses;
        for (const qsizetype index : givenUp.refused) {
            m_endRecord->refused.append(m_rows[std::size_t(index)]);
        }
        m_endRecord->reasons = givenUp.reasons;
    }
}

int PendingRows::endTimeLeft() const
{
    return m_endClock.isValid() ? int(std::max<qint64>(kEndBudgetMs - m_endClock.elapsed(), 0))
                                : kEndBudgetMs;
}

QString PendingRows::lastTry()
{
    m_endClock.start();
    if (m_writing && !waitBlocking(kEndStoreWaitMs)) {
        giveUpWrite();
        return {};
    }
    if ((m_rows.empty() && !m_record) || !m_thread || m_givenUp
        || endTimeLeft() < kEndLastTryMinMs) {
        return {};
    }
    const qsizetype count = size();
    startWrite(Database::kLastTryLockWaitMs);
    if (!waitBlocking(endTimeLeft() - kEndSyncReserveMs)) {
        giveUpWrite();
        return {};
    }
    if (!m_failure.isEmpty()) {
        return {};
    }
    return writtenLine(count) + (m_lastRefused > 0 ? QLatin1Char(' ') + refusedLine() : QString());
}

bool PendingRows::keepForNextStart(
    const std::function<void(const QString &message, bool inFile)> &report)
{
    if (!m_endClock.isValid()) {
        m_endClock.start();
    }
    if (m_writing && !waitBlocking(std::min(kEndStoreWaitMs, endTimeLeft()))) {
        giveUpWrite();
    }
    QString error;
    if (m_filed < m_rows.size()) {
        error = m_unsafeFile
                    ? QStringLiteral("sie wird gerade berichtigt")
                    : m_recovery.append(m_rows, m_filed, m_rows.size(), std::max(endTimeLeft(), 0));
        if (error.isEmpty()) {
            m_fileLines += qint64(m_rows.size() - m_filed);
            m_filed = m_rows.size();
        }
    }
    if (m_endRecord && error.isEmpty()) {
        m_endRecord->fileLines = m_fileLines;
        m_endRecord->write(commitRecordPath(m_recovery.path()), std::max(endTimeLeft(), 0));
    }
    if (m_rows.empty()) {
        return true;
    }
    const qsizetype count = size();
    if (error.isEmpty()) {
        report(StoreLines::kept(count, m_databaseName, m_failure, m_recovery.path(), m_dropped),
               true);
        return true;
    }
    // What is in the file stays there and is taken in at the next start; only the rest goes to
    // the journal, so that no row is entered twice.
    const std::size_t inFile = m_filed;
    report(StoreLines::notKept(count, m_databaseName, m_failure, m_recovery.path(), error,
                               qint64(inFile), m_dropped),
           false);
    QByteArray lines;
    for (std::size_t i = inFile; i < m_rows.size(); ++i) {
        lines += m_rows[i].line() + '\n';
        if (lines.size() > 65536) {
            Journal::writeLines(Journal::Priority::Error, lines);
            lines.clear();
        }
    }
    Journal::writeLines(Journal::Priority::Error, lines);
    return false;
}
