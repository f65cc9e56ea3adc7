#pragma once

#include "serverschema.h"
#include "tempdatabase.h"

#include <memory>

// An SQLite file made from docs/schema.sql or a schema of the test server, for a test that runs
// each case on both; each is held by its own type, so that each is removed again.
class EitherDatabase
{
public:
    explicit EitherDatabase(bool server)
    {
        if (server) {
            m_schema = std::make_unique<ServerSchema>();
        } else {
            m_file = std::make_unique<TempDatabase>();
        }
    }
    const SqlFixture &sql() const
    {
        return m_schema ? static_cast<const SqlFixture &>(*m_schema) : *m_file;
    }
    bool isServer() const { return m_schema != nullptr; }
    // As the program's --database takes it.
    QString name() const { return m_schema ? m_schema->uri() : m_file->path(); }

private:
    std::unique_ptr<TempDatabase> m_file;
    std::unique_ptr<ServerSchema> m_schema;
};
