#pragma once

#include <QList>
#include <QString>
#include <QVariantList>

// A schema of its own in the test server (tests/support/pgserver.sh, socket folder in
// PELVARO_PGDIR), made from docs/schema-postgresql.sql, and plain SQL access to it for preparing
// and checking; dropped again at the end. Each call connects anew, so the fixture holds no
// connection while the program works. A failing statement aborts the test with the server's text.
class ServerSchema
{
public:
    ServerSchema();
    ~ServerSchema();
    ServerSchema(const ServerSchema &) = delete;
    ServerSchema &operator=(const ServerSchema &) = delete;

    QString name() const { return m_name; }
    // The URI the program is given: the server's socket folder, search_path set to this schema.
    QString uri() const;

    // Statements separated by ';', run with this schema first in search_path.
    void exec(const QString &statements) const;
    QList<QVariantList> rows(const QString &query) const;

    // The server's socket folder.
    static QString socketFolder();
    // "pause" stops the server (its clients lose their connections), "resume" starts it again.
    static void serverScript(const char *command);

private:
    QString m_name;
};
