#include "messtakt.h"

#include "mittelwerte.h"
#include "pendingrows.h"
#include "registry.h"
#include "runtime/checkedarithmetic.h"
#include "runtime/mainview.h"
#include "runtime/numbertext.h"

MessTakt::MessTakt(Registry &registry, PendingRows &pending, MainView &view,
                   std::function<void()> pass,
                   std::function<void(Journal::Priority, const QString &)> notice)
    : m_registry(registry), m_pending(pending), m_view(view), m_pass(std::move(pass)),
      m_notice(std::move(notice))
{
}

void MessTakt::run()
{
    m_view.timerOff();
    m_averages.clear();
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
        // A write still in flight (the start's) ends first: stores never overlap.
        m_pending.waitForWrite(m_view);
        const qsizetype waitingBefore = m_pending.size();
        bool stored = false;
        if (m_abfragen >= m_registry.Messungen) {
            m_abfragen = 0;
            m_averages = MittelwerteSpeichern(m_registry, m_pending);
            // The store waits for its disk on a thread of its own; the window, the page, "Ende"
            // and the signals are served meanwhile, and the pass log waits for its outcome.
            m_pending.waitForWrite(m_view);
            stored = true;
        }
        reportPendingRows(stored, waitingBefore);
    }
    m_view.timerOn();
}

void MessTakt::reportPendingRows(bool stored, qsizetype waitingBefore)
{
    PendingRows &pending = m_pending;
    QString line;
    bool turned = false;
    if (!pending.isEmpty()) {
        line = stored ? pending.failedLine() : pending.waitingLine();
        turned = stored && !m_failing;
        m_failing = m_failing || stored;
    } else if (waitingBefore > 0) {
        line = pending.writtenLine(waitingBefore);
        pending.resetDropped();
        turned = true;
        m_failing = false;
    }
    // The pass log ends with its time stamp; the lines follow it, each on a line of its own.
    if (!line.isEmpty()) {
        m_view.appendLog(QStringLiteral("\r\n") + line);
        if (turned && m_notice) {
            // A run of failures begins as a warning and ends as a notice.
            m_notice(pending.isEmpty() ? Journal::Priority::Notice : Journal::Priority::Warning,
                     line);
        }
    }
    // Refused rows are told every time: each store may refuse others.
    if (stored && pending.lastRefused() > 0) {
        const QString refused = pending.refusedLine();
        m_view.appendLog(QStringLiteral("\r\n") + refused);
        if (m_notice) {
            m_notice(Journal::Priority::Warning, refused);
        }
    }
}
