#include "options.h"

#include "runtime/version.h"
#include "statuspage/listenaddress.h"

#include <QCommandLineParser>

namespace {

constexpr int kUsageError = 2;

const char *const kHelp =
    "Aufruf: pelvaro-access [Optionen]\n"
    "\n"
    "Fragt in festem Takt die XML-Statusseiten der Sensorgeräte ab, die in der Datenbank stehen,\n"
    "und schreibt gemittelte Messwerte in deren Tabelle Werte. Ohne Optionen öffnet es die Datei\n"
    "Messwerte.mdb im Verzeichnis des Programms und zeigt sein Fenster.\n"
    "\n"
    "Optionen:\n"
    "  --database DATENBANK  diese Datenbank verwenden statt Messwerte.mdb neben dem Programm:\n"
    "      /pfad/Messwerte.mdb                    eine SQLite-Datei\n"
    "      postgresql://[benutzer@][rechner][:port]/datenbank[?param=wert&...]\n"
    "                                             ein PostgreSQL-Server, etwa:\n"
    "      postgresql://logger@/messwerte?host=/run/postgresql&options=-csearch_path%3Dnord\n"
    "      odbc:DSN  oder  odbc:DRIVER={...};...  eine ODBC-Datenquelle\n"
    "                        Kein Passwort hier: PostgreSQL liest es aus ~/.pgpass, PGPASSFILE\n"
    "                        oder PGPASSWORD, ODBC aus der Konfiguration der Datenquelle.\n"
    "  --headless            ohne Fenster und ohne Bildschirm laufen: das Protokoll jedes\n"
    "                        Abfragedurchgangs geht auf die Standardausgabe, Fehler auf die\n"
    "                        Standardfehlerausgabe\n"
    "  --status ADRESSE:PORT die Statusseite im Browser anbieten, etwa 127.0.0.1:8080; ein Port\n"
    "                        allein (8080) heißt: nur von diesem Rechner aus. Gilt vor der\n"
    "                        Zeile StatusAdresse in Einstellungen.\n"
    "  -h, --help            diese Hilfe zeigen\n"
    "  -v, --version         Name und Version zeigen\n"
    "\n"
    "Beenden mit dem Knopf \"Ende\" oder mit SIGTERM bzw. SIGINT (Strg+C): die Datenbank wird\n"
    "geschlossen. Rückgabewerte: 0 regulär beendet, 1 Laufzeitfehler, 2 falscher Aufruf.\n";

ParsedCommandLine usageError(const QString &message)
{
    ParsedCommandLine result;
    result.exitCode = kUsageError;
    result.error = QStringLiteral("pelvaro-access: %1\n"
                                  "Aufruf: pelvaro-access [--database DATENBANK] [--headless] "
                                  "[--status ADRESSE:PORT]; "
                                  "mehr mit --help.\n")
                       .arg(message);
    return result;
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption database(QStringLiteral("database"), QString(),
                                      QStringLiteral("DATENBANK"));
    const QCommandLineOption headless(QStringLiteral("headless"));
    const QCommandLineOption status(QStringLiteral("status"), QString(),
                                    QStringLiteral("ADRESSE:PORT"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOptions({database, headless, status, help, version});
    // Qt's own options (-platform offscreen, -display :1, -style fusion, ...) are left in the
    // arguments for the application object, which takes them.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char *name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "display", "geometry",
          "qwindowgeometry", "qwindowicon", "qwindowtitle", "style", "stylesheet", "session"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString(), QStringLiteral("wert"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    for (const char *name : {"reverse", "widgetcount"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }

    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty()) {
            const QString name = parser.unknownOptionNames().constFirst();
            return usageError(
                QStringLiteral("Unbekannte Option '%1%2'.")
                    .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name));
        }
        if (parser.errorText().startsWith(QLatin1String("Missing value"))
            && parser.errorText().contains(QLatin1String("--status"))) {
            return usageError(QStringLiteral("Der Option '--status' fehlt die Adresse."));
        }
        if (parser.errorText().startsWith(QLatin1String("Missing value"))) {
            return usageError(
                QStringLiteral("Der Option '--database' fehlt der Pfad der Datenbank."));
        }
        return usageError(QStringLiteral("Falscher Aufruf (%1).").arg(parser.errorText()));
    }
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(QStringLiteral("Unerwartetes Argument '%1'.")
                              .arg(parser.positionalArguments().constFirst()));
    }

    ParsedCommandLine result;
    if (parser.isSet(help)) {
        result.output = QString::fromUtf8(kHelp);
        return result;
    }
    if (parser.isSet(version)) {
        result.output = QStringLiteral("pelvaro-access (Pelvaro (Access)) %1\n")
                            .arg(QString::fromLatin1(pelvaroVersion));
        return result;
    }
    Options options;
    options.headless = parser.isSet(headless);
    if (parser.isSet(database)) {
        options.databasePath = parser.value(database);
        if (options.databasePath.isEmpty()) {
            return usageError(
                QStringLiteral("Der Option '--database' fehlt der Pfad der Datenbank."));
        }
    }
    if (parser.isSet(status)) {
        options.statusAddress = parser.value(status).trimmed();
        if (!ListenAddress::parse(options.statusAddress)) {
            return usageError(QStringLiteral("'%1' ist keine Adresse für '--status'; erwartet "
                                             "ADRESSE:PORT oder einen Port, etwa 127.0.0.1:8080 "
                                             "oder 8080.")
                                  .arg(parser.value(status)));
        }
    }
    result.run = options;
    return result;
}
