#pragma once

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVariantList>

// A Messwerte.mdb made from docs/schema.sql in a fresh temporary folder, and plain SQL access to
// it for preparing and checking. Each call opens and closes its own connection, so the fixture
// never holds the file while the code under test works on it. A failing statement aborts the
// test with the driver's text.
class TempDatabase
{
public:
    // withSchema = false leaves the folder without any database file.
    explicit TempDatabase(bool withSchema = true);

    QString path() const;

    // Statements separated by ';'.
    void exec(const QString &statements) const;
    QList<QVariantList> rows(const QString &query) const;

private:
    QTemporaryDir m_dir;
};

// The readings of a Werte query as "SensorNummer=MessWert" texts, for compact comparisons.
QStringList storedValues(const TempDatabase &database);
