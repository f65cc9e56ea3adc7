#pragma once

#include "storestate.h"
#include "stundenwerte.h"

#include <QElapsedTimer>
#include <QString>

#include <optional>

class QSqlDatabase;

// Keeps Stundenwerte in step with Werte, on the store's thread between its stores, a small step
// at a time so that a store never waits long for one: it walks from the oldest hour of Werte to
// the newest, compares each hour's figures with what Werte holds for it, and puts right what
// differs (rows that were there before the table, rows that another program wrote, figures a
// kill left behind an older version of the program). Once it has walked through all of Werte the
// figures are ready; it then walks again, slowly, so that others' rows are taken in when found.
// The newest hour of Werte is left open (see Stundenwerte::extreme).
// It compares values, not rowids, which a VACUUM renumbers.
//
// An hour that Werte holds no row of keeps its figures: with retention they are the only copy.
// Every step is a transaction of its own, so a kill leaves the figures as they were before it.
class LangzeitAbgleich
{
public:
    // Whether the figures can be kept here: the table is there, and Werte can be read by time
    // without reading all of it (an index that begins with Zeit, or a server that cannot tell).
    void open(QSqlDatabase &db);
    bool enabled() const { return m_stand.vorhanden; }
    // How long to wait for a store before the next step, in milliseconds, counted from the last
    // one (the retention's steps may come between).
    int pauseMs() const;
    // One step; a failure (a lock, say) leaves everything as it was for the next one.
    void step(QSqlDatabase &db);
    StoreState::Langzeit stand() const { return m_stand; }

    // A store's rows by hour, inside its transaction once they are written: rows of closed hours
    // are added to their figures, and hours that the open hour has moved past are closed. The
    // empty text, or the database's own, which fails the store.
    QString stored(QSqlDatabase &db, const Stundenwerte::Hours &rows);
    // Whether that store's transaction was committed.
    void landed(bool committed);

private:
    bool beginWalk(QSqlDatabase &db);
    // Checks the hours [from, to); the rows of Werte read, or -1 on a failure.
    qint64 check(QSqlDatabase &db, qint64 from, qint64 to);
    void report(const QString &text) const;

    StoreState::Langzeit m_stand;
    bool m_walking = false;
    qint64 m_from = 0;
    qint64 m_cursor = 0;
    qint64 m_end = 0;
    qint64 m_spanHours = 24;
    qint64 m_corrected = 0;
    int m_reportedTenth = 0;
    QElapsedTimer m_sinceWalk;
    QElapsedTimer m_sinceStep;
    // The open hour as the latest store left it; unknown after a start.
    std::optional<qint64> m_open;
    std::optional<qint64> m_landingOpen;
};
