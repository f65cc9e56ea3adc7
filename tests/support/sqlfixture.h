#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <functional>

// Plain SQL access for preparing and checking a test database. Each call opens its own
// connection (driver, set up by configure) and closes it again, so a fixture never holds the
// database while the code under test works on it. A failing statement aborts the test with the
// driver's text.
using SetUpConnection = std::function<void(QSqlDatabase &)>;

// Statements separated by ';' (the fixtures' SQL has none inside literals or trigger bodies);
// lines starting with "--" are skipped.
void execSql(const QString &driver, const SetUpConnection &configure, const QString &statements);
QList<QVariantList> sqlRows(const QString &driver, const SetUpConnection &configure,
                            const QString &query);

// A logger that polls every second and stores every `messungen` passes, with the devices and
// sensors given as SQL value lists such as "(10, '127.0.0.1:8080', 'Heizung')".
QString loggerSetup(int messungen, const QString &geraete, const QString &sensoren);
