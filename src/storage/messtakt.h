#pragma once

#include "mittelwerte.h"
#include "runtime/journal.h"

#include <QString>
#include <QtGlobal>

#include <functional>

class MainView;
class PendingRows;
struct Registry;

// One tick of the measurement cycle, run by the one-second timer. Most ticks count down in the
// status line; every MessIntervall-th tick runs a polling pass; after every Messungen-th pass the
// averages are stored. The timer is off for the whole tick and switched on again at its end, so
// the next tick comes a full second after this one ends, however long it took. A RuntimeError or
// ProgramEnd leaves the timer off; a store that fails does not: its rows wait for the next one.
//
// While rows wait, the log of every pass ends with a line that says so: after a failed store,
// why it failed and how many values wait; after other passes, how many still wait; after the
// store that wrote them, that they are written.
class MessTakt
{
public:
    // pass is the polling pass over all devices; the tick owns no network code itself. notice,
    // when given, hears the line of the store that begins a run of failures and the line of the
    // store that ends it.
    MessTakt(Registry &registry, PendingRows &pending, MainView &view, std::function<void()> pass,
             std::function<void(Journal::Priority, const QString &)> notice = {});

    void run();

    // Polling passes since the last store of averages.
    qint32 abfragen() const { return m_abfragen; }
    // The averages formed by the latest tick; empty after a tick without a store.
    const QList<Mittelwert> &averages() const { return m_averages; }

private:
    void reportPendingRows(bool stored, qsizetype waitingBefore);

    Registry &m_registry;
    PendingRows &m_pending;
    MainView &m_view;
    std::function<void()> m_pass;
    std::function<void(Journal::Priority, const QString &)> m_notice;
    qint32 m_abfragen = 0;
    QList<Mittelwert> m_averages;
    bool m_failing = false;
};
