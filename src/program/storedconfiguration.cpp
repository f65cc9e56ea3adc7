#include "storedconfiguration.h"

#include "configdocument.h"
#include "runtime/quietview.h"
#include "storage/datenbankverbindung.h"
#include "storage/registry.h"

#include <functional>

namespace {

void withDatabase(const QString &path, const std::function<void(Registry &, MainView &)> &work)
{
    Registry registry;
    QuietView view{false};
    DatenbankOeffnen(registry, view, path);
    try {
        work(registry, view);
    } catch (...) {
        DatenbankSchliessen(registry, view);
        throw;
    }
    DatenbankSchliessen(registry, view);
}

} // namespace

ConfigurationAccess::Snapshot StoredConfiguration::read()
{
    Snapshot snapshot;
    withDatabase(m_databasePath, [&snapshot](Registry &registry, MainView &) {
        snapshot.document = exportConfiguration(registry);
        snapshot.stand = configurationStand(snapshot.document);
    });
    return snapshot;
}

bool StoredConfiguration::replace(const QByteArray &document, const QByteArray &stand)
{
    bool taken = false;
    withDatabase(m_databasePath, [&](Registry &registry, MainView &view) {
        taken = importConfiguration(registry, view, document, stand);
    });
    return taken;
}
