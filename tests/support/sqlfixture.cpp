#include "sqlfixture.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace {

template <typename Work>
void withConnection(const QString &driver, const SetUpConnection &configure, Work work)
{
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driver, name);
        configure(db);
        if (!db.open()) {
            qFatal("fixture cannot open %s%s: %s", qPrintable(db.databaseName()),
                   qPrintable(db.connectOptions()), qPrintable(db.lastError().text()));
        }
        work(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

QSqlQuery run(QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement)) {
        qFatal("fixture statement failed: %s: %s", qPrintable(statement),
               qPrintable(query.lastError().text()));
    }
    return query;
}

} // namespace

void execSql(const QString &driver, const SetUpConnection &configure, const QString &statements)
{
    QString withoutComments;
    for (const QString &line : statements.split(QLatin1Char('\n'))) {
        if (!line.trimmed().startsWith(QLatin1String("--"))) {
            withoutComments += line + QLatin1Char('\n');
        }
    }
    withConnection(driver, configure, [&](QSqlDatabase &db) {
        for (const QString &statement : withoutComments.split(QLatin1Char(';'))) {
            if (!statement.trimmed().isEmpty()) {
                run(db, statement);
            }
        }
    });
}

QList<QVariantList> sqlRows(const QString &driver, const SetUpConnection &configure,
                            const QString &queryText)
{
    QList<QVariantList> result;
    withConnection(driver, configure, [&](QSqlDatabase &db) {
        QSqlQuery query = run(db, queryText);
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i) {
                row << query.value(i);
            }
            result << row;
        }
    });
    return result;
}

QString loggerSetup(int messungen, const QString &geraete, const QString &sensoren)
{
    return QStringLiteral("DELETE FROM Einstellungen; INSERT INTO Einstellungen (Parameter, Wert) "
                          "VALUES ('MessIntervall', 1), ('Messungen', %1);"
                          "INSERT INTO Geraete VALUES %2; INSERT INTO Sensoren VALUES %3")
        .arg(QString::number(messungen), geraete, sensoren);
}
