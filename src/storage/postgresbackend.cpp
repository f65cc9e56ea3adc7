#include "postgresbackend.h"

#include "runtime/runtimeerror.h"

#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

namespace {

using Parameter = QPair<QString, QString>;

QString decoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// A value as libpq's keyword=value syntax takes it: quoted, with \ and ' escaped.
QString quoted(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

RuntimeError malformed(const QString &uri, const QString &why)
{
    return RuntimeError(ErrorNumber::CannotOpenFile,
                        QStringLiteral("Die Datenbankangabe '%1' ist keine gültige PostgreSQL-URI "
                                       "(postgresql://[benutzer@][rechner][:port]/datenbank"
                                       "[?parameter=wert&...]): %2")
                            .arg(uri, why));
}

RuntimeError passwordGiven(const QString &shown)
{
    return RuntimeError(ErrorNumber::CannotOpenFile,
                        QStringLiteral("Die Datenbankangabe '%1' enthält ein Passwort. Auf der "
                                       "Kommandozeile wäre es für jeden Benutzer des Rechners "
                                       "sichtbar; es gehört in ~/.pgpass, in die Datei, die "
                                       "PGPASSFILE nennt, oder in die Umgebungsvariable "
                                       "PGPASSWORD.")
                            .arg(shown));
}

// host[:port], [v6-address][:port] or empty; the host may be a percent-encoded socket folder.
void splitHost(const QString &uri, const QString &hostPort, QStringList &hosts, QStringList &ports)
{
    QString host = hostPort;
    QString port;
    if (hostPort.startsWith(QLatin1Char('['))) {
        const qsizetype close = hostPort.indexOf(QLatin1Char(']'));
        if (close < 0) {
            throw malformed(uri, QStringLiteral("']' fehlt nach der IPv6-Adresse"));
        }
        host = hostPort.mid(1, close - 1);
        const QString rest = hostPort.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))) {
            throw malformed(uri, QStringLiteral("unerwartet '%1' nach der IPv6-Adresse").arg(rest));
        }
        port = rest.mid(1);
    } else if (const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = hostPort.left(colon);
        port = hostPort.mid(colon + 1);
    }
    hosts << decoded(host);
    ports << decoded(port);
}

} // namespace

PostgresBackend::PostgresBackend(const QString &uri)
    : DbBackend(uri, QStringLiteral("QPSQL"), QStringLiteral("libqt6sql6-psql"),
                QStringLiteral("Reihenfolge"), true)
{
    const qsizetype schemeEnd = uri.indexOf(QLatin1String("://")) + 3;
    QString rest = uri.mid(schemeEnd);
    QString query;
    if (const qsizetype mark = rest.indexOf(QLatin1Char('?')); mark >= 0) {
        query = rest.mid(mark + 1);
        rest.truncate(mark);
    }
    QString dbname;
    if (const qsizetype slash = rest.indexOf(QLatin1Char('/')); slash >= 0) {
        dbname = rest.mid(slash + 1);
        rest.truncate(slash);
    }
    QString user;
    if (const qsizetype at = rest.lastIndexOf(QLatin1Char('@')); at >= 0) {
        user = rest.left(at);
        if (const qsizetype colon = user.indexOf(QLatin1Char(':')); colon >= 0) {
            // The password itself never appears in a message.
            throw passwordGiven(uri.left(schemeEnd) + user.left(colon) + QStringLiteral(":***")
                                + uri.mid(schemeEnd + at));
        }
        rest = rest.mid(at + 1);
    }

    // libpq waits for a server that does not answer as long as the kernel lets it, which would
    // freeze the window and the end of the program. These bounds come first, so that the same
    // keys in the URI still win.
    QList<Parameter> parameters{{QStringLiteral("connect_timeout"), QStringLiteral("10")},
                                {QStringLiteral("keepalives_idle"), QStringLiteral("30")},
                                {QStringLiteral("tcp_user_timeout"), QStringLiteral("30000")}};
    if (!rest.isEmpty()) {
        QStringList hosts;
        QStringList ports;
        for (const QString &hostPort : rest.split(QLatin1Char(','))) {
            splitHost(uri, hostPort, hosts, ports);
        }
        parameters << Parameter(QStringLiteral("host"), hosts.join(QLatin1Char(',')));
        if (!ports.join(QString()).isEmpty()) {
            parameters << Parameter(QStringLiteral("port"), ports.join(QLatin1Char(',')));
        }
    }
    if (!user.isEmpty()) {
        parameters << Parameter(QStringLiteral("user"), decoded(user));
    }
    if (!dbname.isEmpty()) {
        parameters << Parameter(QStringLiteral("dbname"), decoded(dbname));
    }
    // Later parameters win in libpq, so ?host= overrides the host part, as in libpq's own URIs.
    for (const QString &pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            throw malformed(uri, QStringLiteral("Parameter '%1' ohne Wert").arg(pair));
        }
        const QString key = decoded(pair.left(equals));
        if (key == QLatin1String("password")) {
            throw passwordGiven(QString(uri).replace(pair, key + QStringLiteral("=***")));
        }
        // libpq takes a second '=' only escaped (%3D); a plain one is meant the same way.
        parameters << Parameter(key, decoded(pair.mid(equals + 1)));
    }

    QStringList pairs;
    for (const Parameter &parameter : std::as_const(parameters)) {
        // The driver turns every ';' of its connect options into a blank.
        if (parameter.second.contains(QLatin1Char(';'))) {
            throw malformed(
                uri,
                QStringLiteral("ein ';' im Wert von '%1' ist nicht möglich").arg(parameter.first));
        }
        pairs << parameter.first + QLatin1Char('=') + quoted(parameter.second);
    }
    m_connectOptions = pairs.join(QLatin1Char(' '));
}

bool PostgresBackend::isMissingTable(const QSqlError &error, const QSqlDatabase &,
                                     const QString &) const
{
    return error.nativeErrorCode() == QLatin1String("42P01"); // undefined_table
}

QString PostgresBackend::waitForLocks(QSqlDatabase &db, int ms) const
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("SET lock_timeout = %1").arg(ms))
               ? QString()
               : query.lastError().databaseText().simplified();
}

void PostgresBackend::configure(QSqlDatabase &db) const
{
    db.setConnectOptions(m_connectOptions);
}

RuntimeError PostgresBackend::openFailure(const QString &driverText) const
{
    return RuntimeError(ErrorNumber::ConnectionFailed,
                        QStringLiteral("Keine Verbindung zum Datenbankserver '%1': %2")
                            .arg(name(), driverText.trimmed()));
}
