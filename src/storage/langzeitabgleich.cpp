#include "langzeitabgleich.h"

#include "runtime/journal.h"
#include "runtime/wallclock.h"
#include "werteindexes.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>
#include <optional>

namespace {

// What one step reads of Werte, about: some tens of milliseconds, which a store may wait.
constexpr qint64 kStepRows = 20000;
constexpr qint64 kMaxSpanHours = 366 * 24;
// Between two steps of the first walk, so that the disk and the other programs get their turn;
// between two of the later walks; and between two walks.
constexpr int kCatchUpPauseMs = 10;
constexpr int kWalkPauseMs = 2000;
constexpr qint64 kBetweenWalksMs = 60000;
// The most hours a store closes: a day and a half of rows at the default rhythm.
constexpr qint64 kMaxClosedHours = 36;

} // namespace

void LangzeitAbgleich::open(QSqlDatabase &db)
{
    const WerteIndexes indexes = WerteIndexes::read(db);
    m_stand = StoreState::Langzeit();
    m_stand.vorhanden = Stundenwerte::present(db) && (!indexes.known || indexes.timeFirst());
    m_walking = false;
}

int LangzeitAbgleich::pauseMs() const
{
    if (!m_walking && m_sinceWalk.isValid()) {
        return int(std::max<qint64>(0, kBetweenWalksMs - m_sinceWalk.elapsed()));
    }
    const qint64 pause = m_stand.bereit ? kWalkPauseMs : kCatchUpPauseMs;
    return m_sinceStep.isValid() ? int(std::max<qint64>(0, pause - m_sinceStep.elapsed())) : 0;
}

bool LangzeitAbgleich::beginWalk(QSqlDatabase &db)
{
    m_sinceWalk.start();
    const std::optional<qint64> oldest = Stundenwerte::extreme(db, true);
    const std::optional<qint64> newest = Stundenwerte::extreme(db, false);
    if (!oldest || !newest) {
        // An empty Werte, or one that cannot be read now: the next walk looks again.
        m_stand.bereit = m_stand.bereit || !oldest;
        m_stand.fortschritt = m_stand.bereit ? 1 : 0;
        return false;
    }
    m_from = Stundenwerte::hourOf(*oldest);
    m_cursor = m_from;
    // Up to the open hour, which gets its figures from the store that closes it.
    m_end = Stundenwerte::hourOf(*newest);
    m_corrected = 0;
    m_reportedTenth = 0;
    m_walking = true;
    if (!m_stand.bereit && m_end - m_from > 24 * Stundenwerte::kHour) {
        report(QStringLiteral("Stundenwerte: Abgleich mit Werte ab %1 beginnt.")
                   .arg(WallClock::isoText(QDateTime::fromSecsSinceEpoch(m_from, Qt::UTC))));
    }
    return true;
}

void LangzeitAbgleich::step(QSqlDatabase &db)
{
    m_sinceStep.start();
    if (!m_stand.vorhanden || (!m_walking && !beginWalk(db))) {
        return;
    }
    const qint64 to = std::min(m_cursor + m_spanHours * Stundenwerte::kHour, m_end);
    const qint64 rows = check(db, m_cursor, to);
    if (rows < 0) {
        return;
    }
    m_cursor = to;
    if (rows > kStepRows && m_spanHours > 1) {
        m_spanHours = std::max<qint64>(1, m_spanHours * kStepRows / rows);
    } else if (rows < kStepRows / 2) {
        m_spanHours = std::min(kMaxSpanHours, m_spanHours * 2);
    }
    if (!m_stand.bereit) {
        m_stand.fortschritt =
            double(m_cursor - m_from) / double(std::max<qint64>(1, m_end - m_from));
        const int tenth = int(m_stand.fortschritt * 10);
        if (tenth > m_reportedTenth && tenth < 10 && m_end - m_from > 24 * Stundenwerte::kHour) {
            m_reportedTenth = tenth;
            report(QStringLiteral("Stundenwerte: %1 % mit Werte abgeglichen.").arg(tenth * 10));
        }
    }
    if (m_cursor < m_end) {
        return;
    }
    m_walking = false;
    m_sinceWalk.start();
    if (!m_stand.bereit) {
        report(QStringLiteral("Stundenwerte: mit Werte abgeglichen (%1 berichtigt).")
                   .arg(m_corrected));
    } else if (m_corrected > 0) {
        report(QStringLiteral("Stundenwerte: %1 nach Werte berichtigt.").arg(m_corrected));
    }
    m_stand.bereit = true;
    m_stand.fortschritt = 1;
}

qint64 LangzeitAbgleich::check(QSqlDatabase &db, qint64 from, qint64 to)
{
    if (!db.transaction()) {
        return -1;
    }
    // On a server another logger may store meanwhile: Werte and the figures are read as of one
    // moment, and a store in between makes the step fail rather than undo that store's figures.
    qint64 rows = 0;
    qint64 changed = 0;
    if ((db.driverName() == QLatin1String("QPSQL")
         && !QSqlQuery(db).exec(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ")))
        || !Stundenwerte::reconcile(db, from, to, &rows, &changed).isEmpty() || !db.commit()) {
        db.rollback();
        return -1;
    }
    m_corrected += changed;
    return rows;
}

QString LangzeitAbgleich::stored(QSqlDatabase &db, const Stundenwerte::Hours &rows)
{
    m_landingOpen.reset();
    const std::optional<qint64> newest = Stundenwerte::extreme(db, false);
    if (!newest) {
        return {};
    }
    const qint64 open = Stundenwerte::hourOf(*newest);
    // The hours that the open hour has moved past since the last store get their figures now;
    // after a start, the one before it (those before were closed then, or the walk finds them).
    qint64 closeFrom = open;
    if (m_open) {
        closeFrom = std::min(*m_open, open);
    } else if (const std::optional<qint64> before = Stundenwerte::newestBefore(db, open)) {
        closeFrom = Stundenwerte::hourOf(*before);
    }
    if (open - closeFrom > kMaxClosedHours * Stundenwerte::kHour) {
        // A jump of days (another program's row from a clock far ahead, say): too much for one
        // store. The walk begins anew and puts the hours between right; until it has, charts
        // read Werte.
        closeFrom = open - kMaxClosedHours * Stundenwerte::kHour;
        m_stand.bereit = false;
        m_stand.fortschritt = 0;
        m_walking = false;
        m_sinceWalk.invalidate();
    }
    Stundenwerte::Hours closed;
    for (const auto &[key, figures] : rows) {
        if (key.first < closeFrom) {
            closed.insert({key, figures});
        }
    }
    qint64 read = 0;
    qint64 changed = 0;
    QString failure = closeFrom < open
                          ? Stundenwerte::reconcile(db, closeFrom, open, &read, &changed)
                          : QString();
    if (failure.isEmpty()) {
        failure = Stundenwerte::add(db, closed);
    }
    if (failure.isEmpty()) {
        m_landingOpen = open;
    }
    return failure;
}

void LangzeitAbgleich::landed(bool committed)
{
    if (committed && m_landingOpen) {
        m_open = m_landingOpen;
    }
    m_landingOpen.reset();
}

void LangzeitAbgleich::report(const QString &line) const
{
    Journal::write(Journal::Priority::Info, line);
}
