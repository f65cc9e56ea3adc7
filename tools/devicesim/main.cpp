#include "devicesimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Lets callers distinguish a mistake in their command line (ExitUsage) from a port someone else
// holds (ExitFailure, which also covers the system refusing anything else).
enum ExitCode { ExitOk = 0, ExitFailure = 1, ExitUsage = 2 };

constexpr int maxDevices = 1000;
constexpr int maxSensors = 100;
// Keeps the lifetime in milliseconds within what a timer takes.
constexpr double maxLifetimeSeconds = 2000000.0;

struct Settings
{
    quint16 firstPort = 0;
    int count = 1;
    int sensors = 4;
    int trickleInterval = 100;
    double lifetime = 0.0;
    QList<DeviceSimulator::Behaviour> behaviours;
};

int signalPair[2] = {-1, -1};

void writeLine(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    // Whoever started the simulator waits for these lines, possibly through a pipe.
    std::fflush(stream);
}

void onTerminationSignal(int)
{
    // Only async-signal-safe calls here; the event loop sees the byte and ends in order.
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPair[0], &byte, 1);
    errno = savedErrno;
}

bool handleTerminationSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPair[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(signalPair[1], &byte, 1);
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0
           && ::sigaction(SIGINT, &action, nullptr) == 0;
}

bool parseNumber(const QString &text, int min, int max, int *out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        return false;
    *out = value;
    return true;
}

QString badValue(const QString &option, const QString &value, const QString &expected)
{
    return QStringLiteral("Ungültiger Wert „%1“ für --%2: erwartet %3.")
        .arg(value, option, expected);
}

// Entries apply in the order given, so "normal,2=silent" makes all but the second device normal.
QString applyBehaviours(const QStringList &values, Settings *settings)
{
    settings->behaviours.fill(DeviceSimulator::Behaviour::Normal, settings->count);
    for (const QString &value : values) {
        for (const QString &rawEntry : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString entry = rawEntry.trimmed();
            const qsizetype equals = entry.indexOf(QLatin1Char('='));
            const QString name = entry.mid(equals + 1).trimmed();
            DeviceSimulator::Behaviour behaviour;
            if (!DeviceSimulator::behaviourFromName(name, &behaviour)) {
                return QStringLiteral(
                           "Unbekanntes Verhalten „%1“ in --behaviour %2; möglich sind: %3.")
                    .arg(name, entry, DeviceSimulator::behaviourNames().join(QStringLiteral(", ")));
            }
            if (equals < 0) {
                settings->behaviours.fill(behaviour);
                continue;
            }
            int index = 0;
            const QString indexText = entry.left(equals).trimmed();
            if (!parseNumber(indexText, 1, settings->count, &index)) {
                return QStringLiteral("Ungültige Gerätenummer „%1“ in --behaviour %2: erwartet 1 "
                                      "bis %3.")
                    .arg(indexText, entry)
                    .arg(settings->count);
            }
            settings->behaviours[index - 1] = behaviour;
        }
    }
    return QString();
}

// Leaves *out alone if the option is not given; returns what is wrong with its value, if anything.
QString readNumber(const QCommandLineParser &parser, const QString &option, int min, int max,
                   int *out, const QString &expected)
{
    if (!parser.isSet(option) || parseNumber(parser.value(option), min, max, out))
        return QString();
    return badValue(option, parser.value(option), expected);
}

// Returns an empty string if the options are usable, otherwise what is wrong with them.
QString readSettings(const QCommandLineParser &parser, Settings *settings)
{
    if (!parser.positionalArguments().isEmpty()) {
        return QStringLiteral("Unerwartetes Argument „%1“.")
            .arg(parser.positionalArguments().constFirst());
    }
    int port = 0;
    QString problem = readNumber(parser, QStringLiteral("port"), 0, 65535, &port,
                                 QStringLiteral("eine Portnummer von 0 bis 65535"));
    if (problem.isEmpty())
        problem = readNumber(parser, QStringLiteral("count"), 1, maxDevices, &settings->count,
                             QStringLiteral("eine Anzahl von 1 bis %1").arg(maxDevices));
    if (problem.isEmpty())
        problem = readNumber(parser, QStringLiteral("sensors"), 0, maxSensors, &settings->sensors,
                             QStringLiteral("eine Anzahl von 0 bis %1").arg(maxSensors));
    if (problem.isEmpty())
        problem =
            readNumber(parser, QStringLiteral("trickle-interval"), 0, 60000,
                       &settings->trickleInterval, QStringLiteral("Millisekunden von 0 bis 60000"));
    if (!problem.isEmpty())
        return problem;
    settings->firstPort = quint16(port);
    if (port != 0 && port + settings->count - 1 > 65535) {
        return QStringLiteral("--port %1 mit --count %2 reicht über Port 65535 hinaus.")
            .arg(port)
            .arg(settings->count);
    }
    if (parser.isSet(QStringLiteral("lifetime"))) {
        bool ok = false;
        settings->lifetime = parser.value(QStringLiteral("lifetime")).toDouble(&ok);
        if (!ok || !(settings->lifetime > 0.0) || settings->lifetime > maxLifetimeSeconds)
            return badValue(QStringLiteral("lifetime"), parser.value(QStringLiteral("lifetime")),
                            QStringLiteral("eine Anzahl Sekunden größer als 0"));
    }
    return applyBehaviours(parser.values(QStringLiteral("behaviour")), settings);
}

int usageError(const QString &message)
{
    writeLine(stderr, QStringLiteral("pelvaro-devicesim: %1").arg(message));
    writeLine(stderr, QStringLiteral("Aufruf siehe: pelvaro-devicesim --help"));
    return ExitUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelvaro-devicesim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELVARO_VERSION_TEXT));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simuliert Sensorgeräte auf der Loopback-Schnittstelle (127.0.0.1) für "
                       "Vorführung und Tests.\nGibt je Gerät eine Zeile „127.0.0.1:PORT“ aus, "
                       "dann „bereit“."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Zeigt diese Hilfe an."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Zeigt die Versionsnummer an."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOptions({
        {QStringLiteral("port"),
         QStringLiteral("Port des ersten Geräts, die weiteren folgen lückenlos; 0 oder ohne "
                        "Angabe: freie Ports wählen."),
         QStringLiteral("port")},
        {QStringLiteral("count"), QStringLiteral("Anzahl der Geräte (Standard 1)."),
         QStringLiteral("anzahl")},
        {QStringLiteral("sensors"), QStringLiteral("Sensoren je Gerät, t1 bis tN (Standard 4)."),
         QStringLiteral("anzahl")},
        {QStringLiteral("behaviour"),
         QStringLiteral("Verhalten: NAME für alle Geräte oder NR=NAME für Gerät NR (ab 1); "
                        "mehrfach oder durch Kommas getrennt, spätere Angaben gelten. Namen: %1.")
             .arg(DeviceSimulator::behaviourNames().join(QStringLiteral(", "))),
         QStringLiteral("verhalten")},
        {QStringLiteral("trickle-interval"),
         QStringLiteral("Abstand der Bytes beim Verhalten trickle in ms (Standard 100)."),
         QStringLiteral("ms")},
        {QStringLiteral("lifetime"),
         QStringLiteral("Beendet sich nach so vielen Sekunden; ohne Angabe läuft er bis "
                        "SIGTERM oder SIGINT."),
         QStringLiteral("sekunden")},
    });

    if (!parser.parse(QCoreApplication::arguments())) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString name = unknown.constFirst();
            const QString dashes = name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--");
            return usageError(QStringLiteral("Unbekannte Option „%1%2“.").arg(dashes, name));
        }
        return usageError(QStringLiteral("Fehler in den Optionen: %1").arg(parser.errorText()));
    }
    if (parser.isSet(help))
        parser.showHelp(ExitOk);
    if (parser.isSet(version))
        parser.showVersion();

    Settings settings;
    const QString problem = readSettings(parser, &settings);
    if (!problem.isEmpty())
        return usageError(problem);

    if (!handleTerminationSignals(&app)) {
        writeLine(stderr, QStringLiteral("pelvaro-devicesim: Signalbehandlung nicht möglich."));
        return ExitFailure;
    }

    QList<DeviceSimulator *> devices;
    for (int i = 0; i < settings.count; ++i) {
        auto *device = new DeviceSimulator(&app);
        device->setSensorCount(settings.sensors);
        device->setTrickleInterval(settings.trickleInterval);
        device->setBehaviour(settings.behaviours.at(i));
        const quint16 port = settings.firstPort == 0 ? 0 : quint16(settings.firstPort + i);
        if (!device->listen(port)) {
            const QString which =
                port == 0 ? QStringLiteral("Kein freier Port für Gerät %1").arg(i + 1)
                          : QStringLiteral("Port %1 kann nicht belegt werden").arg(port);
            writeLine(
                stderr,
                QStringLiteral("pelvaro-devicesim: %1: %2").arg(which, device->errorString()));
            return ExitFailure;
        }
        devices << device;
    }
    for (const DeviceSimulator *device : std::as_const(devices))
        writeLine(stdout, device->address());
    writeLine(stdout, QStringLiteral("bereit"));

    if (settings.lifetime > 0.0)
        QTimer::singleShot(qRound(settings.lifetime * 1000.0), &app, &QCoreApplication::quit);
    return app.exec();
}
