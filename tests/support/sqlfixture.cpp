#include "sqlfixture.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace {

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

SqlFixture::SqlFixture(QString driver, std::function<void(QSqlDatabase &)> configure)
    : m_driver(std::move(driver)), m_configure(std::move(configure))
{
}

std::shared_ptr<QSqlDatabase> SqlFixture::open() const
{
    const QString name = QUuid::createUuid().toString();
    auto *db = new QSqlDatabase(QSqlDatabase::addDatabase(m_driver, name));
    m_configure(*db);
    if (!db->open()) {
        qFatal("fixture cannot open %s%s: %s", qPrintable(db->databaseName()),
               qPrintable(db->connectOptions()), qPrintable(db->lastError().text()));
    }
    return std::shared_ptr<QSqlDatabase>(db, [name](QSqlDatabase *db) {
        delete db;
        QSqlDatabase::removeDatabase(name);
    });
}

void SqlFixture::exec(const QString &statements) const
{
    static const QRegularExpression comment(QStringLiteral("^\\s*--.*$"),
                                            QRegularExpression::MultilineOption);
    const std::shared_ptr<QSqlDatabase> db = open();
    for (const QString &statement : QString(statements).remove(comment).split(QLatin1Char(';'))) {
        if (!statement.trimmed().isEmpty()) {
            run(*db, statement);
        }
    }
}

QList<QVariantList> SqlFixture::rows(const QString &queryText) const
{
    const std::shared_ptr<QSqlDatabase> db = open();
    QSqlQuery query = run(*db, queryText);
    QList<QVariantList> result;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i) {
            row << query.value(i);
        }
        result << row;
    }
    return result;
}

std::shared_ptr<void> SqlFixture::hold(const QStringList &statements) const
{
    const std::shared_ptr<QSqlDatabase> db = open();
    for (const QString &statement : statements) {
        run(*db, statement);
    }
    return std::shared_ptr<void>(nullptr, [db](void *) { db->rollback(); });
}

QStringList storedValues(const SqlFixture &database)
{
    QStringList values;
    for (const QVariantList &row :
         database.rows(QStringLiteral("SELECT SensorNummer, MessWert FROM Werte ORDER BY rowid"))) {
        values << row.at(0).toString() + QLatin1Char('=')
                      + QString::number(row.at(1).toDouble(), 'g', 17);
    }
    return values;
}

QString loggerSetup(int messungen, const QString &geraete, const QString &sensoren)
{
    return QStringLiteral("DELETE FROM Einstellungen; INSERT INTO Einstellungen (Parameter, Wert) "
                          "VALUES ('MessIntervall', 1), ('Messungen', %1);"
                          "INSERT INTO Geraete VALUES %2; INSERT INTO Sensoren VALUES %3")
        .arg(QString::number(messungen), geraete, sensoren);
}

QString fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
