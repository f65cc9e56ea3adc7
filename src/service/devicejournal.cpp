#include "devicejournal.h"

#include "runtime/journal.h"
#include "runtime/timeformats.h"
#include "storage/registry.h"

#include <utility>

void DeviceJournal::passEnded(const Registry &registry, const PollingState &polling)
{
    const qint32 devices = registry.AnzahlGeraete;
    m_seen.resize(std::size_t(devices) + 1);
    for (qint32 i = 1; i <= devices; ++i) {
        const PollingState::Device was = std::exchange(m_seen[std::size_t(i)], polling.device(i));
        const PollingState::Device &now = m_seen[std::size_t(i)];
        if ((was.failuresInRow == 0) == (now.failuresInRow == 0)) {
            continue;
        }
        const QString which =
            QStringLiteral("Gerät '%1' (Nr. %2, %3)")
                .arg(Journal::plain(registry.GeraetName[i]), QString::number(registry.GeraetID[i]),
                     Journal::plain(registry.GeraetIP[i]));
        if (now.failuresInRow > 0) {
            Journal::write(
                Journal::Priority::Warning,
                QStringLiteral("%1 antwortet nicht: %2.").arg(which, now.failure.text()));
        } else {
            Journal::write(Journal::Priority::Notice,
                           QStringLiteral("%1 antwortet wieder (erfolglos seit %2, %3 Abfragen).")
                               .arg(which, TimeFormat::passLogText(was.failingSince),
                                    QString::number(was.failuresInRow)));
        }
    }
}
