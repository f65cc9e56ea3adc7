#include "odbcbackend.h"

#include "runtime/runtimeerror.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>

#include <algorithm>

namespace {

// The KEY=VALUE parts of a connection string; a value in braces may hold ';'.
QStringList connectionParts(const QString &text)
{
    QStringList parts;
    QString part;
    bool braced = false;
    for (const QChar c : text) {
        if (c == QLatin1Char(';') && !braced) {
            parts << part;
            part.clear();
            continue;
        }
        if (c == QLatin1Char('{')) {
            braced = true;
        } else if (c == QLatin1Char('}')) {
            braced = false;
        }
        part += c;
    }
    parts << part;
    return parts;
}

QString keyOf(const QString &part)
{
    return part.section(QLatin1Char('='), 0, 0).trimmed().toUpper();
}

} // namespace

OdbcBackend::OdbcBackend(const QString &name)
    : DbBackend(name, QStringLiteral("QODBC"), QStringLiteral("libqt6sql6-odbc"),
                QStringLiteral("Reihenfolge"), false),
      m_source(name.mid(5))
{
    if (m_source.trimmed().isEmpty()) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("Nach 'odbc:' fehlt der Name einer ODBC-Datenquelle "
                                          "oder eine Verbindungszeichenfolge."));
    }
    QStringList parts = connectionParts(m_source);
    bool hasPassword = false;
    for (QString &part : parts) {
        const QString key = keyOf(part);
        if (key == QLatin1String("PWD") || key == QLatin1String("PASSWORD")) {
            part = part.section(QLatin1Char('='), 0, 0) + QStringLiteral("=***");
            hasPassword = true;
        }
    }
    if (hasPassword) {
        throw RuntimeError(
            ErrorNumber::CannotOpenFile,
            QStringLiteral("Die Datenbankangabe 'odbc:%1' enthält ein Passwort. Auf der "
                           "Kommandozeile wäre es für jeden Benutzer des Rechners sichtbar; es "
                           "gehört in die Konfiguration der ODBC-Datenquelle (odbc.ini).")
                .arg(parts.join(QLatin1Char(';'))));
    }
    // Qt puts "DSN=" before any text without DRIVER= or SERVER=, so a leading DSN= of our own
    // would be doubled.
    const bool driverOrServer = std::any_of(parts.cbegin(), parts.cend(), [](const QString &part) {
        return keyOf(part) == QLatin1String("DRIVER") || keyOf(part) == QLatin1String("SERVER");
    });
    if (!driverOrServer && keyOf(parts.constFirst()) == QLatin1String("DSN")) {
        m_source = m_source.section(QLatin1Char('='), 1);
    }
}

bool OdbcBackend::isMissingTable(const QSqlError &error, const QSqlDatabase &db,
                                 const QString &table) const
{
    // Drivers word it each their own way and Qt passes on no SQLSTATE; the driver's list of
    // tables says it for most. PostgreSQL's driver lists the tables of every schema, so its own
    // words are taken too.
    const QString postgresText =
        QStringLiteral("relation \"%1\" does not exist").arg(table.toLower());
    return error.databaseText().contains(postgresText)
           || !db.tables(QSql::AllTables).contains(table, Qt::CaseInsensitive);
}

void OdbcBackend::configure(QSqlDatabase &db) const
{
    db.setDatabaseName(m_source);
}

RuntimeError OdbcBackend::openFailure(const QString &driverText) const
{
    return RuntimeError(ErrorNumber::ConnectionFailed,
                        QStringLiteral("Keine Verbindung zur ODBC-Datenquelle '%1': %2")
                            .arg(name(), driverText.trimmed()));
}
