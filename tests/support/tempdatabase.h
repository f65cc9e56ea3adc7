#pragma once

#include "sqlfixture.h"

#include <QTemporaryDir>

// A Messwerte.mdb made from docs/schema.sql in a fresh temporary folder, with the plain SQL
// access of SqlFixture for preparing and checking it.
class TempDatabase : public SqlFixture
{
public:
    // withSchema = false leaves the folder without any database file.
    explicit TempDatabase(bool withSchema = true);

    QString path() const { return m_dir.filePath(QStringLiteral("Messwerte.mdb")); }

private:
    QTemporaryDir m_dir;
};
