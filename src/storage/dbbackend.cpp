#include "dbbackend.h"

#include "odbcbackend.h"
#include "postgresbackend.h"
#include "runtime/runtimeerror.h"
#include "sqlitebackend.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>

namespace {

bool namesServer(const QString &name)
{
    return name.startsWith(QLatin1String("postgresql://"))
           || name.startsWith(QLatin1String("postgres://"));
}

bool namesOdbc(const QString &name)
{
    return name.startsWith(QLatin1String("odbc:"));
}

} // namespace

std::unique_ptr<DbBackend> DbBackend::forName(const QString &name, bool readOnly)
{
    std::unique_ptr<DbBackend> backend;
    if (namesServer(name)) {
        backend = std::make_unique<PostgresBackend>(name);
    } else if (namesOdbc(name)) {
        backend = std::make_unique<OdbcBackend>(name);
    } else {
        backend = std::make_unique<SqliteBackend>(name);
    }
    backend->m_readOnly = readOnly;
    return backend;
}

bool DbBackend::namesFile(const QString &name)
{
    return !namesServer(name) && !namesOdbc(name);
}

DbBackend::DbBackend(QString name, QString driver, QString driverPackage, QString orderColumn,
                     bool orderRequired)
    : m_name(std::move(name)), m_driver(std::move(driver)),
      m_driverPackage(std::move(driverPackage)), m_orderColumn(std::move(orderColumn)),
      m_orderRequired(orderRequired)
{
}

DbBackend::~DbBackend() = default;

void DbBackend::open(const QString &connectionName) const
{
    QString failure;
    if (!connect(connectionName, &failure)) {
        QSqlDatabase::removeDatabase(connectionName);
        throw openFailure(failure);
    }
    // Every store is one transaction, so that it lands whole or not at all; a source without
    // them (ODBC text and CSV drivers) would fail every store, for a reason nobody could guess.
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (!m_readOnly && !db.driver()->hasFeature(QSqlDriver::Transactions)) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
        throw RuntimeError(ErrorNumber::NotSupported,
                           QStringLiteral("Die Datenbank '%1' kann keine Transaktionen. Jedes "
                                          "Speichern ist eine Transaktion, damit es ganz oder gar "
                                          "nicht ankommt; bitte eine Datenquelle mit "
                                          "Transaktionen verwenden (etwa SQLite, PostgreSQL "
                                          "oder Access).")
                               .arg(m_name));
    }
}

bool DbBackend::connect(const QString &connectionName, QString *failure) const
{
    check();
    if (!QSqlDatabase::isDriverAvailable(m_driver)) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("Der Datenbanktreiber %1 von Qt fehlt (Debian-Paket %2); "
                                          "'%3' kann nicht geöffnet werden.")
                               .arg(m_driver, m_driverPackage, m_name));
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(m_driver, connectionName);
    configure(db);
    if (!db.open()) {
        // One line, for the journal: libpq's text spans several.
        const QSqlError error = db.lastError();
        *failure =
            (error.databaseText().isEmpty() ? error.text() : error.databaseText()).simplified();
        if (failure->isEmpty()) {
            *failure = QStringLiteral("unbekannter Fehler");
        }
        return false;
    }
    *failure = verify(db);
    if (failure->isEmpty()) {
        return true;
    }
    db.close();
    return false;
}

QString DbBackend::verify(QSqlDatabase &) const
{
    return QString();
}

bool DbBackend::refusesRow(const QSqlError &error) const
{
    const QString state = error.nativeErrorCode();
    return state.startsWith(QLatin1String("22")) || state.startsWith(QLatin1String("23"))
           || state == QLatin1String("P0001");
}
