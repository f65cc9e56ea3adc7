#include "options.h"

#include "runtime/version.h"
#include "statuspage/listenaddress.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace {

constexpr int kUsageError = 2;

// @NAME@ the program's name; @OHNE@ what it does without options; @HEADLESS@ the option for
// running without a window, where there is one; @ENDE@ the other way to end it.
const char *const kHelp =
    "Aufruf: @NAME@ [Optionen]\n"
    "\n"
    "Fragt in festem Takt die XML-Statusseiten der Sensorgeräte ab, die in der Datenbank stehen,\n"
    "und schreibt gemittelte Messwerte in deren Tabelle Werte. Ohne Optionen öffnet es die Datei\n"
    "Messwerte.mdb im Verzeichnis des Programms@OHNE@.\n"
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
    "@HEADLESS@"
    "  --status ADRESSE:PORT die Statusseite im Browser anbieten, etwa 127.0.0.1:8080; ein Port\n"
    "                        allein (8080) heißt: nur von diesem Rechner aus. Gilt vor der\n"
    "                        Zeile StatusAdresse in Einstellungen.\n"
    "  --status-users DATEI  nur mit Anmeldung: Benutzer und Passwort-Hashes der Statusseite,\n"
    "                        eine Zeile NAME:HASH je Benutzer (vor der Zeile StatusBenutzer)\n"
    "  --status-cert DATEI, --status-key DATEI\n"
    "                        die Statusseite nur über HTTPS, mit diesem Zertifikat und seinem\n"
    "                        Schlüssel im PEM-Format (vor StatusZertifikat, StatusSchluessel)\n"
    "  --hash-password NAME  ein Passwort lesen (vom Terminal zweimal) und die Zeile NAME:HASH\n"
    "                        für die Benutzerdatei ausgeben\n"
    "  --probe ADRESSE       die Seite http://ADRESSE/xml einmal holen und zeigen, was ein\n"
    "                        Durchgang daraus liest (mit --database auch, was er für die dort\n"
    "                        eingetragenen Sensoren speichern würde); schreibt nichts.\n"
    "                        Rückgabewert 0, wenn die Seite zählt, sonst 1\n"
    "  --export-config DATEI die Konfiguration der Datenbank (Einstellungen, Geraete,\n"
    "                        Sensoren, Grenzwerte) als JSON in DATEI schreiben\n"
    "  --import-config DATEI die Konfiguration der Datenbank durch die aus DATEI ersetzen, in\n"
    "                        einer Transaktion und erst nach der Prüfung; Werte bleibt\n"
    "  -h, --help            diese Hilfe zeigen\n"
    "  -v, --version         Name und Version zeigen\n"
    "\n"
    "Beenden@ENDE@ mit SIGTERM bzw. SIGINT (Strg+C): die Datenbank wird geschlossen; ein\n"
    "zweites Signal, eine Sekunde oder länger nach dem ersten, beendet sofort. SIGHUP liest\n"
    "Benutzerdatei, Zertifikat und Schlüssel der Statusseite neu. Rückgabewerte:\n"
    "0 regulär beendet, 1 Laufzeitfehler, 2 falscher Aufruf.\n";

const char *const kHeadlessHelp =
    "  --headless            ohne Fenster und ohne Bildschirm laufen: das Protokoll jedes\n"
    "                        Abfragedurchgangs geht auf die Standardausgabe, Fehler auf die\n"
    "                        Standardfehlerausgabe (als Dienst: pelvarod)\n";

ParsedCommandLine usageError(Program program, const QString &message)
{
    ParsedCommandLine result;
    result.exitCode = kUsageError;
    result.error =
        QStringLiteral("%1: %2\n"
                       "Aufruf: %1 [--database DATENBANK]%3 [--status ADRESSE:PORT]; mehr mit "
                       "--help.\n")
            .arg(programName(program), message,
                 program == Program::Window ? QStringLiteral(" [--headless]") : QString());
    return result;
}

} // namespace

QString programName(Program program)
{
    return program == Program::Window ? QStringLiteral("pelvaro-access")
                                      : QStringLiteral("pelvarod");
}

ParsedCommandLine parseCommandLine(const QStringList &arguments, Program program)
{
    QCommandLineParser parser;
    const QCommandLineOption database(QStringLiteral("database"), QString(),
                                      QStringLiteral("DATENBANK"));
    // The service takes --headless too, as the window program does, so that a command line
    // written for one runs the other.
    const QCommandLineOption headless(QStringLiteral("headless"));
    const QCommandLineOption status(QStringLiteral("status"), QString(),
                                    QStringLiteral("ADRESSE:PORT"));
    const QCommandLineOption statusUsers(QStringLiteral("status-users"), QString(),
                                         QStringLiteral("DATEI"));
    const QCommandLineOption statusCert(QStringLiteral("status-cert"), QString(),
                                        QStringLiteral("DATEI"));
    const QCommandLineOption statusKey(QStringLiteral("status-key"), QString(),
                                       QStringLiteral("DATEI"));
    const QCommandLineOption hashPassword(QStringLiteral("hash-password"), QString(),
                                          QStringLiteral("NAME"));
    const QCommandLineOption exportConfig(QStringLiteral("export-config"), QString(),
                                          QStringLiteral("DATEI"));
    const QCommandLineOption importConfig(QStringLiteral("import-config"), QString(),
                                          QStringLiteral("DATEI"));
    const QCommandLineOption probe(QStringLiteral("probe"), QString(), QStringLiteral("ADRESSE"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOptions({database, headless, status, statusUsers, statusCert, statusKey, hashPassword,
                       exportConfig, importConfig, probe, help, version});
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    if (program == Program::Window) {
        // Qt's own options (-platform offscreen, -display :1, -style fusion, ...) are left in the
        // arguments for the application object, which takes them.
        for (const char *name :
             {"platform", "platformpluginpath", "platformtheme", "plugin", "display", "geometry",
              "qwindowgeometry", "qwindowicon", "qwindowtitle", "style", "stylesheet", "session"}) {
            QCommandLineOption qtOption(QString::fromLatin1(name), QString(),
                                        QStringLiteral("wert"));
            qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(qtOption);
        }
        for (const char *name : {"reverse", "widgetcount"}) {
            QCommandLineOption qtOption(QString::fromLatin1(name));
            qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(qtOption);
        }
    }

    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty()) {
            const QString name = parser.unknownOptionNames().constFirst();
            return usageError(
                program,
                QStringLiteral("Unbekannte Option '%1%2'.")
                    .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name));
        }
        for (const QString &fileOption :
             {QStringLiteral("--status-users"), QStringLiteral("--status-cert"),
              QStringLiteral("--status-key"), QStringLiteral("--export-config"),
              QStringLiteral("--import-config")}) {
            if (parser.errorText().startsWith(QLatin1String("Missing value"))
                && parser.errorText().contains(fileOption + QLatin1Char('\''))) {
                return usageError(
                    program, QStringLiteral("Der Option '%1' fehlt die Datei.").arg(fileOption));
            }
        }
        if (parser.errorText().startsWith(QLatin1String("Missing value"))
            && parser.errorText().contains(QLatin1String("--probe"))) {
            return usageError(program, QStringLiteral("Der Option '--probe' fehlt die Adresse."));
        }
        if (parser.errorText().startsWith(QLatin1String("Missing value"))
            && parser.errorText().contains(QLatin1String("--hash-password"))) {
            return usageError(program,
                              QStringLiteral("Der Option '--hash-password' fehlt der Name."));
        }
        if (parser.errorText().startsWith(QLatin1String("Missing value"))
            && parser.errorText().contains(QLatin1String("--status"))) {
            return usageError(program, QStringLiteral("Der Option '--status' fehlt die Adresse."));
        }
        if (parser.errorText().startsWith(QLatin1String("Missing value"))) {
            return usageError(
                program, QStringLiteral("Der Option '--database' fehlt der Pfad der Datenbank."));
        }
        return usageError(program, QStringLiteral("Falscher Aufruf (%1).").arg(parser.errorText()));
    }
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(program, QStringLiteral("Unerwartetes Argument '%1'.")
                                       .arg(parser.positionalArguments().constFirst()));
    }

    ParsedCommandLine result;
    if (parser.isSet(help)) {
        const bool window = program == Program::Window;
        result.output =
            QString::fromUtf8(kHelp)
                .replace(QStringLiteral("@NAME@"), programName(program))
                .replace(QStringLiteral("@OHNE@"),
                         window ? QStringLiteral(" und zeigt sein Fenster")
                                : QStringLiteral(", ohne Fenster: das Protokoll jedes "
                                                 "Abfragedurchgangs geht\nauf die "
                                                 "Standardausgabe, Fehler auf die "
                                                 "Standardfehlerausgabe"))
                .replace(QStringLiteral("@HEADLESS@"),
                         window ? QString::fromUtf8(kHeadlessHelp) : QString())
                .replace(QStringLiteral("@ENDE@"),
                         window ? QStringLiteral(" mit dem Knopf \"Ende\" oder") : QString());
        return result;
    }
    if (parser.isSet(version)) {
        result.output = QStringLiteral("%1 (Pelvaro (Access)) %2\n")
                            .arg(programName(program), QString::fromLatin1(pelvaroVersion));
        return result;
    }
    Options options;
    options.headless = program == Program::Service || parser.isSet(headless);
    if (parser.isSet(database)) {
        options.databasePath = parser.value(database);
        if (options.databasePath.isEmpty()) {
            return usageError(
                program, QStringLiteral("Der Option '--database' fehlt der Pfad der Datenbank."));
        }
    }
    if (parser.isSet(status)) {
        options.statusAddress = parser.value(status).trimmed();
        if (!ListenAddress::parse(options.statusAddress)) {
            return usageError(program,
                              QStringLiteral("'%1' ist keine Adresse für '--status'; erwartet "
                                             "ADRESSE:PORT oder einen Port, etwa 127.0.0.1:8080 "
                                             "oder 8080.")
                                  .arg(parser.value(status)));
        }
    }
    for (const auto &[option, file] : {std::pair{&statusUsers, &options.statusFiles.users},
                                       std::pair{&statusCert, &options.statusFiles.cert},
                                       std::pair{&statusKey, &options.statusFiles.key}}) {
        if (parser.isSet(*option)) {
            const QString value = parser.value(*option);
            if (value.isEmpty()) {
                return usageError(program, QStringLiteral("Der Option '--%1' fehlt die Datei.")
                                               .arg(option->names().constFirst()));
            }
            *file = QFileInfo(value).absoluteFilePath();
        }
    }
    if (parser.isSet(probe)) {
        options.probe = parser.value(probe).trimmed();
        // What stands between "http://" and "/xml": a host and perhaps a port, nothing more.
        if (options.probe.isEmpty() || options.probe.contains(QLatin1Char('/'))
            || options.probe.contains(QLatin1Char(' '))) {
            return usageError(program, QStringLiteral("'%1' ist keine Geräteadresse für "
                                                      "'--probe'; erwartet etwa 192.168.1.20 "
                                                      "oder 192.168.1.20:8080.")
                                           .arg(parser.value(probe)));
        }
    }
    if (parser.isSet(exportConfig) && parser.isSet(importConfig)) {
        return usageError(program, QStringLiteral("'--export-config' und '--import-config' "
                                                  "gehen nicht zusammen."));
    }
    for (const auto &[option, file] : {std::pair{&exportConfig, &options.exportConfig},
                                       std::pair{&importConfig, &options.importConfig}}) {
        if (parser.isSet(*option)) {
            *file = parser.value(*option);
            if (file->isEmpty()) {
                return usageError(program, QStringLiteral("Der Option '--%1' fehlt die Datei.")
                                               .arg(option->names().constFirst()));
            }
        }
    }
    if (parser.isSet(hashPassword)) {
        const QString name = parser.value(hashPassword);
        // What the users file could not read back: a colon ends the name, '#' first makes the
        // line a comment, a line break or NUL splits it, blanks at the ends are trimmed.
        if (name.isEmpty() || name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('\n'))
            || name.contains(QLatin1Char('\r')) || name.contains(QChar(0))
            || name.startsWith(QLatin1Char('#')) || name.trimmed() != name) {
            return usageError(program, QStringLiteral("'%1' taugt nicht als Name: er darf weder "
                                                      "leer sein noch mit '#' beginnen, weder "
                                                      "':' noch Zeilenumbrüche und keine "
                                                      "Leerzeichen am Rand enthalten.")
                                           .arg(name));
        }
        options.hashPasswordFor = name;
    }
    result.run = options;
    return result;
}
