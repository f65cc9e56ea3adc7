#include "messtakt.h"

#include "mittelwerte.h"
#include "registry.h"
#include "runtime/checkedarithmetic.h"
#include "runtime/mainview.h"
#include "runtime/numbertext.h"

MessTakt::MessTakt(Registry &registry, MainView &view, std::function<void()> pass)
    : m_registry(registry), m_view(view), m_pass(std::move(pass))
{
}

void MessTakt::run()
{
    m_view.timerOff();
    m_registry.Sekunden = checkedAdd(m_registry.Sekunden, 1);
    const qint32 remaining = checkedSub(m_registry.MessIntervall, m_registry.Sekunden);
    if (remaining > 0) {
        m_view.setStatus(QStringLiteral("Noch") + numberText(remaining)
                         + QStringLiteral(" Sekunden..."));
        m_view.pump();
    } else {
        m_registry.Sekunden = 0;
        m_pass();
        m_abfragen = checkedAdd(m_abfragen, 1);
        if (m_abfragen >= m_registry.Messungen) {
            m_abfragen = 0;
            MittelwerteSpeichern(m_registry);
        }
    }
    m_view.timerOn();
}
