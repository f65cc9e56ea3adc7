#pragma once

#include "sqlfixture.h"

// A schema of its own in the test server (tests/support/pgserver.sh, socket folder in
// PELVARO_PGDIR), made from docs/schema-postgresql.sql, with the plain SQL access of SqlFixture
// (statements run with this schema first in search_path); dropped again at the end.
class ServerSchema : public SqlFixture
{
public:
    ServerSchema();
    ~ServerSchema();
    ServerSchema(const ServerSchema &) = delete;
    ServerSchema &operator=(const ServerSchema &) = delete;

    QString name() const { return m_name; }
    // The URI the program is given: the server's socket folder, search_path set to this schema.
    // "=" inside a parameter's value is written %3D in libpq's URIs.
    QString uri() const
    {
        return QStringLiteral("postgresql://pelvaro@/pelvaro?host=") + socketFolder()
               + QStringLiteral("&options=-csearch_path%3D") + m_name;
    }

    // The server's socket folder.
    static QString socketFolder();
    // "pause" stops the server (its clients lose their connections), "resume" starts it again.
    static void serverScript(const char *command);

private:
    QString m_name;
};
