#pragma once

#include "settingrows.h"

#include <QElapsedTimer>
#include <QtGlobal>

#include <optional>

class QSqlDatabase;

// The opt-in retention of Werte: with the Einstellungen row Aufbewahrung (days), rows older than
// that many days are deleted, on the store's thread between its stores, a few hundred at a time.
// Only the rows of a sensor and hour whose figures stand in Stundenwerte and agree with those rows
// are deleted, all of them in one transaction, so that Werte holds each sensor's hour either whole
// or not at all: LangzeitAbgleich then keeps the figures of an hour it finds no row of, and never
// rewrites the figures of a pruned hour from what is left. Rows the figures do not count (a
// MessWert that is no number) stay. Stundenwerte itself is never pruned.
class Aufbewahrung
{
public:
    static constexpr qint32 kMaxTage = 36500;

    static QList<SettingRows::Name> settingNames();
    // The days, 0 without the row; a value outside 1 to kMaxTage is a RuntimeError naming the
    // row.
    static qint32 fromSettings(const SettingRows &rows);

    // 0 turns it off.
    void setTage(qint32 tage);
    bool enabled() const { return m_tage > 0; }
    // How long to wait before the next step, in milliseconds.
    int pauseMs() const;
    // One step, once the figures are ready: the oldest sensors and hours before the limit, about
    // kBatchRows rows. now: the wall-clock seconds of now. A failure (a lock) leaves everything
    // as it was for the next one.
    void step(QSqlDatabase &db, qint64 now);
    // Rows deleted in this run.
    qint64 deleted() const { return m_deleted; }

private:
    struct Position
    {
        qint64 hour = 0;
        qint32 sensorAfter = -1;
        qint64 deleted = 0;
    };
    // Deletes what it may of the hour at m_hour for the sensors after m_sensorAfter, inside the
    // caller's transaction, and tells where the round goes on once it is committed; false on a
    // failure.
    bool pruneHour(QSqlDatabase &db, qint64 open, Position *next);
    void rest();

    qint32 m_tage = 0;
    // Where the round stands: the hour, and the last sensor of it that was looked at.
    std::optional<qint64> m_hour;
    qint64 m_limit = 0;
    qint32 m_sensorAfter = -1;
    qint64 m_deleted = 0;
    qint64 m_deletedInRound = 0;
    bool m_resting = false;
    QElapsedTimer m_sinceStep;
};
