#pragma once

#include <QtGlobal>

#include <functional>

class MainView;
struct Registry;

// One tick of the measurement cycle, run by the one-second timer. Most ticks count down in the
// status line; every MessIntervall-th tick runs a polling pass; after every Messungen-th pass the
// averages are stored. The timer is off for the whole tick and switched on again at its end, so
// the next tick comes a full second after this one ends, however long it took. A RuntimeError or
// ProgramEnd leaves the timer off.
class MessTakt
{
public:
    // pass is the polling pass over all devices; the tick owns no network code itself.
    MessTakt(Registry &registry, MainView &view, std::function<void()> pass);

    void run();

    // Polling passes since the last store of averages.
    qint32 abfragen() const { return m_abfragen; }

private:
    Registry &m_registry;
    MainView &m_view;
    std::function<void()> m_pass;
    qint32 m_abfragen = 0;
};
