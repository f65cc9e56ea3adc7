#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <memory>

// Plain SQL access for preparing and checking a test database. Each call opens its own
// connection (driver, set up by configure) and closes it again, so a fixture never holds the
// database while the code under test works on it. A failing statement aborts the test with the
// driver's text.
class SqlFixture
{
public:
    SqlFixture(QString driver, std::function<void(QSqlDatabase &)> configure);

    // Statements separated by ';' (the fixtures' SQL has none inside literals or trigger bodies);
    // lines starting with "--" are skipped.
    void exec(const QString &statements) const;
    QList<QVariantList> rows(const QString &query) const;
    // Another program's connection with the statements run on it (a lock, say), held until the
    // handle goes: then rolled back and closed.
    std::shared_ptr<void> hold(const QStringList &statements) const;

private:
    std::shared_ptr<QSqlDatabase> open() const;

    QString m_driver;
    std::function<void(QSqlDatabase &)> m_configure;
};

// The readings of Werte in row order as "SensorNummer=MessWert", for compact comparisons.
QStringList storedValues(const SqlFixture &database);

// A logger that polls every second and stores every `messungen` passes, with the devices and
// sensors given as SQL value lists such as "(10, '127.0.0.1:8080', 'Heizung')".
QString loggerSetup(int messungen, const QString &geraete, const QString &sensoren);

// A file's text, or the empty text when it cannot be read.
QString fileText(const QString &path);
