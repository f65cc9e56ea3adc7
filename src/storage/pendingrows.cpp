#include "pendingrows.h"

#include "commitrecord.h"
#include "database.h"
#include "durablefile.h"
#include "refusedfile.h"
#include "runtime/journal.h"
#include "runtime/mainview.h"
#include "storelines.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>

#include <algorithm>

PendingRows::PendingRows(qsizetype capacity) : m_capacity(std::max<qsizetype>(capacity, 1)) {}

PendingRows::~PendingRows()
{
    // The thread first: it must not report to an owner that is gone.
    m_thread.reset();
}

void PendingRows::setDatabaseName(const QString &databaseName)
{
    m_databaseName = databaseName;
    m_recovery = RecoveryFile(recoveryFilePath(databaseName));
    m_refusedFile = refusedFilePath(m_recovery.path());
}

void PendingRows::open()
{
    auto thread = std::make_unique<StoreThread>(m_databaseName, m_recovery.path(), [this] {
        QMetaObject::invokeMethod(this, &PendingRows::takeOutcome, Qt::QueuedConnection);
    });
    thread->setAufbewahrung(m_aufbewahrung);
    thread->open();
    m_thread = std::move(thread);
}

void PendingRows::setAufbewahrung(qint32 tage)
{
    m_aufbewahrung = tage;
    if (m_thread) {
        m_thread->setAufbewahrung(tage);
    }
}

void PendingRows::append(qint32 sensorNummer, const QDateTime &zeit, double wert)
{
    Q_ASSERT(!m_writing);
    if (qsizetype(m_rows.size()) >= m_capacity) {
        // The oldest goes; in the file it stays as a dead line until the file is rewritten.
        m_rows.pop_front();
        ++m_dropped;
        m_filed = m_filed > 0 ? m_filed - 1 : 0;
        m_uncertain = m_uncertain > 0 ? m_uncertain - 1 : 0;
    }
    m_rows.push_back(Row::of(sensorNummer, zeit, wert));
}

void PendingRows::startWrite(int lockWaitMs)
{
    if (m_writing || m_givenUp) {
        return;
    }
    m_lastRefused = 0;
    m_lastRefusedReason.clear();
    m_jobRows = m_rows.size();
    if (!m_thread) {
        StoreThread::Outcome outcome;
        outcome.failure = QStringLiteral("keine Datenbank offen");
        outcome.fileLines = m_fileLines;
        outcome.filed = m_filed;
        finish(outcome);
        return;
    }
    if (m_rows.empty() && !m_record && m_fileLines == 0) {
        finish(StoreThread::Outcome());
        return;
    }
    StoreThread::Job job;
    job.rows = &m_rows;
    job.count = m_rows.size();
    job.filed = m_filed;
    job.fileLines = m_fileLines;
    job.deadLinesLimit = m_capacity / 10;
    job.record = m_record;
    job.uncertain = m_uncertain;
    job.lockWaitMs = lockWaitMs;
    job.reconnect = m_reconnect;
    m_writing = true;
    m_thread->start(job);
}

bool PendingRows::waitForWrite(MainView &view)
{
    while (m_writing) {
        QEventLoop loop;
        connect(this, &PendingRows::writeEnded, &loop, &QEventLoop::quit);
        loop.exec();
        view.pump();
    }
    return m_failure.isEmpty() && m_rows.empty();
}

bool PendingRows::write()
{
    startWrite();
    waitBlocking(-1);
    return m_failure.isEmpty() && m_rows.empty();
}

bool PendingRows::waitBlocking(int ms)
{
    if (!m_writing) {
        return true;
    }
    if (ms < 0) {
        while (!m_thread->waitFor(1000)) {
        }
    } else if (!m_thread->waitFor(ms)) {
        return false;
    }
    takeOutcome();
    return true;
}

void PendingRows::takeOutcome()
{
    if (!m_writing || m_thread->busy()) {
        return;
    }
    m_writing = false;
    finish(m_thread->take());
    Q_EMIT writeEnded();
}

void PendingRows::finish(const StoreThread::Outcome &outcome)
{
    const std::size_t first = std::min(outcome.alreadyStored, m_rows.size());
    for (std::size_t i = 0; i < first; ++i) {
        m_lastWritten.insert(m_rows[i].sensorNummer, m_rows[i]);
    }
    if (outcome.failure.isEmpty()) {
        QList<Row> refused;
        QStringList reasons;
        for (std::size_t i = first, k = 0; i < m_jobRows; ++i) {
            if (k < std::size_t(outcome.refused.size())
                && std::size_t(outcome.refused.at(qsizetype(k))) == i) {
                refused.append(m_rows[i]);
                reasons.append(outcome.reasons.value(qsizetype(k++)));
            } else {
                m_lastWritten.insert(m_rows[i].sensorNummer, m_rows[i]);
            }
        }
        // A deque keeps its blocks after clear(); a backlog of a day's rows should not stay.
        std::deque<Row>().swap(m_rows);
        m_fileLines = 0;
        m_filed = 0;
        m_record = false;
        m_uncertain = 0;
        m_reconnect = false;
        m_failure.clear();
        m_failingSince = QDateTime();
        m_keepFailure.clear();
        if (!refused.isEmpty()) {
            m_lastRefused = refused.size();
            m_lastRefusedReason = reasons.constFirst();
            m_refused += refused.size();
            m_lastRefusedInFile = outcome.refusedError.isEmpty();
            if (!m_lastRefusedInFile) {
                Journal::write(Journal::Priority::Error,
                               QStringLiteral("Die Datei '%1' kann die abgelehnten Messwerte "
                                              "nicht aufnehmen: %2. Sie folgen hier "
                                              "(SensorNummer;Zeit;MessWert;Grund).")
                                   .arg(m_refusedFile, outcome.refusedError));
                Journal::writeLines(Journal::Priority::Error, RefusedFile::lines(refused, reasons));
            }
        }
    } else {
        m_rows.erase(m_rows.begin(), m_rows.begin() + std::ptrdiff_t(first));
        setFailure(outcome.failure);
        m_reconnect = true;
        m_fileLines = outcome.fileLines;
        m_filed = std::min(outcome.filed, m_rows.size());
        m_record = outcome.uncertain;
        m_uncertain = outcome.uncertain ? std::min(outcome.uncertainRows, m_rows.size()) : 0;
        if (!outcome.keepError.isEmpty() && outcome.keepError != m_keepFailure) {
            Journal::write(Journal::Priority::Error,
                           QStringLiteral("Die Datei '%1' kann die wartenden Messwerte nicht "
                                          "aufnehmen: %2. Sie warten im Speicher.")
                               .arg(m_recovery.path(), outcome.keepError));
        }
        m_keepFailure = outcome.keepError;
    }
    if (!outcome.note.isEmpty()) {
        Journal::write(Journal::Priority::Error, outcome.note);
    }
    if (m_takingIn) {
        m_takingIn = false;
        const qint64 fromFile = qint64(m_jobRows);
        m_takeInNotice =
            m_failure.isEmpty()
                ? StoreLines::takenIn(fromFile, m_recovery.path(), m_takeInDropped, m_capacity)
                      + (m_lastRefused > 0 ? QLatin1Char(' ') + refusedLine() : QString())
                : StoreLines::takenInWaiting(fromFile, m_recovery.path(), m_failure,
                                             m_takeInDropped, m_capacity);
    }
}

void PendingRows::setFailure(const QString &failure)
{
    if (m_failure.isEmpty()) {
        m_failingSince = QDateTime::currentDateTime();
    }
    m_failure = failure;
    ++m_failedStores;
}

QString PendingRows::takeIn(bool wait)
{
    const QString recordPath = commitRecordPath(m_recovery.path());
    const bool hasFile = m_recovery.exists();
    const std::optional<CommitRecord> record =
        m_recovery.path().isEmpty() ? std::nullopt : CommitRecord::read(recordPath);
    if (!hasFile && !record) {
        return {};
    }
    RecoveryFile::Contents contents;
    if (hasFile) {
        contents = m_recovery.read(m_capacity);
    }
    if (contents.unfinished) {
        Journal::write(Journal::Priority::Warning,
                       QStringLiteral("Die letzte Zeile der Datei '%1' ist unvollständig: ein "
                                      "Anhängen wurde unterbrochen, als das Programm endete. Sie "
                                      "gehört zu dem Durchgang, der dabei abbrach, und wird "
                                      "nicht übernommen.")
                           .arg(m_recovery.path()));
    }
    if (contents.lines == 0 && !record) {
        // A file that held no row at all goes.
        removeDurably({m_recovery.path()});
        return {};
    }
    for (const Row &row : m_rows) {
        contents.rows.push_back(row);
    }
    m_rows.swap(contents.rows);
    m_filed = std::min(m_rows.size(), std::size_t(contents.lines - contents.dropped));
    m_fileLines = contents.lines;
    m_dropped += contents.dropped;
    m_record = record.has_value();
    m_uncertain = record ? std::size_t(
                      std::clamp<qint64>(record->fileLines - contents.dropped, 0, qint64(m_filed)))
                         : 0;
    m_takingIn = true;
    m_takeInDropped = contents.dropped;
    m_takeInNotice.clear();
    startWrite();
    if (!wait) {
        connect(
            this, &PendingRows::writeEnded, this,
            [this] {
                if (!m_takeInNotice.isEmpty()) {
                    Journal::write(Journal::Priority::Notice, std::exchange(m_takeInNotice, {}));
                }
            },
            Qt::SingleShotConnection);
        return {};
    }
    waitBlocking(-1);
    return std::exchange(m_takeInNotice, {});
}

QString PendingRows::failedLine() const
{
    return StoreLines::failed(m_failure, size(), m_dropped);
}

QString PendingRows::waitingLine() const
{
    return StoreLines::waiting(size(), m_dropped);
}

QString PendingRows::writtenLine(qsizetype count) const
{
    return StoreLines::written(count, m_dropped);
}

QString PendingRows::refusedLine() const
{
    return StoreLines::refused(m_lastRefused, m_lastRefusedReason, m_lastRefusedInFile,
                               m_refusedFile);
}

StoreState PendingRows::state() const
{
    StoreState state;
    state.failure = m_failure;
    state.failingSince = m_failingSince;
    state.waiting = size();
    state.dropped = m_dropped;
    state.failedStores = m_failedStores;
    state.refused = m_refused;
    state.refusedFile = m_refusedFile;
    if (m_thread) {
        state.langzeit = m_thread->langzeit();
        state.schreibrate = m_thread->schreibrate();
    }
    return state;
}

bool PendingRows::lastWritten(qint32 sensorNummer, Row *row) const
{
    const auto found = m_lastWritten.constFind(sensorNummer);
    if (found == m_lastWritten.cend()) {
        return false;
    }
    *row = *found;
    return true;
}
