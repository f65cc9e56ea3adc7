#include "storethreadshared.h"

#include "database.h"
#include "durablefile.h"
#include "runtime/processio.h"
#include "runtime/processsignals.h"
#include "runtime/runtimeerror.h"
#include "runtime/wallclock.h"

#include <QSqlDatabase>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<bool> g_leftRunning{false};
// How long the end waits for the connection to close.
constexpr int kCloseWaitMs = 150;

} // namespace

const QString kStoreGivenUp = QStringLiteral("das Programm endet");

void StoreThread::Shared::run()
{
    leaveSignalsToMainThread();
    std::unique_ptr<Database> database;
    QString failure;
    try {
        database = OpenDatabase(databaseName);
        database->started();
        QSqlDatabase db = database->connection();
        abgleich.open(db);
    } catch (const RuntimeError &error) {
        database.reset();
        failure = error.message();
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        opened = true;
        openError = failure;
        langzeit = abgleich.stand();
        done.notify_all();
    }
    std::unique_lock<std::mutex> lock(mutex);
    const auto woken = [this] {
        return stopping || job.has_value();
    };
    while (database) {
        aufbewahrung.setTage(aufbewahrungTage);
        // Never without the figures, and only once they hold every hour before the open one.
        const bool pruning =
            aufbewahrung.enabled() && abgleich.enabled() && abgleich.stand().bereit && !abandoned;
        if (abgleich.enabled() && !abandoned) {
            const int pause =
                pruning ? std::min(abgleich.pauseMs(), aufbewahrung.pauseMs()) : abgleich.pauseMs();
            wake.wait_for(lock, std::chrono::milliseconds(pause), woken);
        } else {
            wake.wait(lock, woken);
        }
        if (stopping) {
            break;
        }
        if (!job) {
            // Between two stores: a step of keeping the hourly figures in step with Werte, or of
            // the retention.
            lock.unlock();
            QSqlDatabase db = database->connection();
            if (pruning && aufbewahrung.pauseMs() == 0) {
                aufbewahrung.step(db, WallClock::now().toSecsSinceEpoch());
            } else if (abgleich.pauseMs() == 0) {
                abgleich.step(db);
            }
            lock.lock();
            langzeit = abgleich.stand();
            continue;
        }
        const Job current = *job;
        job.reset();
        measureWrites();
        lock.unlock();
        Outcome result = execute(*database, current);
        lock.lock();
        if (abandoned) {
            // Its owner has gone on without it; nothing is told.
            continue;
        }
        outcome = std::move(result);
        langzeit = abgleich.stand();
        busy = false;
        phase = Phase::Idle;
        done.notify_all();
        if (ended) {
            ended();
        }
    }
    lock.unlock();
    database.reset();
    lock.lock();
    finished = true;
    done.notify_all();
}

void StoreThread::Shared::measureWrites()
{
    const std::optional<qint64> written = ProcessIo::writtenBytes();
    if (!written) {
        return;
    }
    if (!firstWritten) {
        firstWritten = written;
        sinceFirstStore.start();
        return;
    }
    ++schreibrate.speicherungen;
    schreibrate.bekannt = true;
    schreibrate.bytes = *written - *firstWritten;
    schreibrate.sekunden = double(sinceFirstStore.elapsed()) / 1000;
}

StoreState::Schreibrate StoreThread::schreibrate() const
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->schreibrate;
}

StoreThread::StoreThread(QString databaseName, QString recoveryFile, std::function<void()> ended)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->databaseName = std::move(databaseName);
    m_shared->recovery = RecoveryFile(recoveryFile);
    m_shared->refused = RefusedFile(refusedFilePath(recoveryFile));
    m_shared->recordPath = commitRecordPath(recoveryFile);
    m_shared->ended = std::move(ended);
}

StoreThread::~StoreThread()
{
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->ended = nullptr;
    m_shared->stopping = true;
    m_shared->wake.notify_all();
    if (m_shared->busy) {
        g_leftRunning = true;
        return;
    }
    // The thread closes its connection and ends; it is detached, so its end is waited for here,
    // but only briefly: closing a file with a write-ahead log copies the log into the file first,
    // which costs a slow disk several syncs. Cut short by the end of the process, that copy is
    // redone by the next start.
    if (!m_shared->done.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                 [this] { return !m_shared->started || m_shared->finished; })) {
        g_leftRunning = true;
    }
}

void StoreThread::open()
{
    {
        const std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->started = true;
    }
    std::thread([shared = m_shared] { shared->run(); }).detach();
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->done.wait(lock, [this] { return m_shared->opened; });
    if (!m_shared->openError.isEmpty()) {
        throw RuntimeError(ErrorNumber::ConnectionFailed, m_shared->openError);
    }
}

void StoreThread::start(const Job &job)
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->job = job;
    m_shared->busy = true;
    m_shared->phase = Phase::Resolving;
    m_shared->witnesses.clear();
    m_shared->refusedRows.clear();
    m_shared->reasons.clear();
    m_shared->first = 0;
    m_shared->kept = false;
    m_shared->filed = job.filed;
    m_shared->fileLines = job.fileLines;
    m_shared->wake.notify_all();
}

bool StoreThread::busy() const
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->busy;
}

bool StoreThread::waitFor(int ms)
{
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    return m_shared->done.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)),
                                   [this] { return !m_shared->busy; });
}

StoreThread::Outcome StoreThread::take()
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    return std::exchange(m_shared->outcome, Outcome());
}

StoreThread::GivenUp StoreThread::abandon()
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    GivenUp givenUp;
    if (!m_shared->busy) {
        return givenUp;
    }
    m_shared->abandoned = true;
    g_leftRunning = true;
    givenUp.phase = m_shared->phase;
    givenUp.witnesses = m_shared->witnesses;
    givenUp.refused = m_shared->refusedRows;
    givenUp.reasons = m_shared->reasons;
    givenUp.first = m_shared->first;
    givenUp.filed = m_shared->filed;
    givenUp.fileLines = m_shared->fileLines;
    givenUp.kept = m_shared->kept;
    return givenUp;
}

void StoreThread::setAufbewahrung(qint32 tage)
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->aufbewahrungTage = tage;
}

StoreState::Langzeit StoreThread::langzeit() const
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->langzeit;
}

bool StoreThread::leftRunning()
{
    return g_leftRunning;
}
