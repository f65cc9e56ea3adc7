#include "dbengine.h"

#include "database.h"
#include "dbbackend.h"

DbEngine &DbEngine::instance()
{
    static DbEngine engine;
    return engine;
}

std::unique_ptr<Database> DbEngine::OpenDatabase(const QString &name)
{
    std::unique_ptr<DbBackend> backend = DbBackend::forName(name);
    const QString connectionName = QStringLiteral("pelvaro-%1").arg(++m_connections);
    backend->open(connectionName);
    return std::unique_ptr<Database>(new Database(connectionName, std::move(backend)));
}
