#include "devicesimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

// Lets callers tell a mistake in their command line (2) from a port someone else holds (1).
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxDevices = 1000;
constexpr int kMaxSensors = 100;
// Keeps the lifetime in milliseconds within what a timer takes.
constexpr double kMaxLifetimeSeconds = 2000000.0;

struct Settings
{
    int firstPort = 0;
    int count = 1;
    int sensors = 4;
    double lifetime = 0.0;
    QList<DeviceSimulator::Behaviour> behaviours;
    QList<double> readings;
};

void writeLine(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    // Whoever started the simulator waits for these lines, possibly through a pipe.
    std::fflush(stream);
}

// Reads the option into *out when it is given; returns what is wrong with its value, if anything.
QString readNumber(const QCommandLineParser &parser, const QString &option, int min, int max,
                   int *out)
{
    if (!parser.isSet(option))
        return QString();
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < min || value > max) {
        return QStringLiteral("Ungültiger Wert „%1“ für --%2: erwartet %3 bis %4.")
            .arg(parser.value(option), option)
            .arg(min)
            .arg(max);
    }
    *out = value;
    return QString();
}

// Entries apply in the order given, so "normal,2=silent" makes all but the second device normal.
QString applyBehaviours(const QStringList &values, Settings *settings)
{
    settings->behaviours.fill(DeviceSimulator::Behaviour::Normal, settings->count);
    for (const QString &value : values) {
        for (const QString &rawEntry : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString entry = rawEntry.trimmed();
            const qsizetype equals = entry.indexOf(QLatin1Char('='));
            DeviceSimulator::Behaviour behaviour;
            if (!DeviceSimulator::behaviourFromName(entry.mid(equals + 1).trimmed(), &behaviour)) {
                return QStringLiteral("Unbekanntes Verhalten in --behaviour %1; möglich sind: %2.")
                    .arg(entry, DeviceSimulator::behaviourNames().join(QStringLiteral(", ")));
            }
            if (equals < 0) {
                settings->behaviours.fill(behaviour);
                continue;
            }
            bool ok = false;
            const int index = entry.left(equals).trimmed().toInt(&ok);
            if (!ok || index < 1 || index > settings->count) {
                return QStringLiteral(
                           "Ungültige Gerätenummer in --behaviour %1: erwartet 1 bis %2.")
                    .arg(entry)
                    .arg(settings->count);
            }
            settings->behaviours[index - 1] = behaviour;
        }
    }
    return QString();
}

// An empty text when the options are usable, otherwise what is wrong with them.
QString readSettings(const QCommandLineParser &parser, Settings *settings)
{
    if (!parser.positionalArguments().isEmpty()) {
        return QStringLiteral("Unerwartetes Argument „%1“.")
            .arg(parser.positionalArguments().constFirst());
    }
    for (const QString &problem :
         {readNumber(parser, QStringLiteral("port"), 0, 65535, &settings->firstPort),
          readNumber(parser, QStringLiteral("count"), 1, kMaxDevices, &settings->count),
          readNumber(parser, QStringLiteral("sensors"), 0, kMaxSensors, &settings->sensors)}) {
        if (!problem.isEmpty())
            return problem;
    }
    if (settings->firstPort != 0 && settings->firstPort + settings->count - 1 > 65535)
        return QStringLiteral("--port mit --count reicht über Port 65535 hinaus.");
    if (parser.isSet(QStringLiteral("lifetime"))) {
        bool ok = false;
        settings->lifetime = parser.value(QStringLiteral("lifetime")).toDouble(&ok);
        if (!ok || !(settings->lifetime > 0.0) || settings->lifetime > kMaxLifetimeSeconds)
            return QStringLiteral(
                "Ungültiger Wert für --lifetime: erwartet Sekunden größer als 0.");
    }
    for (const QString &text :
         parser.value(QStringLiteral("readings")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        settings->readings << text.trimmed().toDouble(&ok);
        if (!ok)
            return QStringLiteral("Ungültiger Messwert „%1“ in --readings.").arg(text);
    }
    return applyBehaviours(parser.values(QStringLiteral("behaviour")), settings);
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
    parser.addHelpOption();
    parser.addVersionOption();
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
        {QStringLiteral("readings"),
         QStringLiteral("Feste Messwerte t1,t2,... für alle Geräte, durch Kommas getrennt; "
                        "weitere Sensoren melden keinen Messwert. Ohne Angabe wandern die Werte "
                        "langsam."),
         QStringLiteral("werte")},
        {QStringLiteral("lifetime"),
         QStringLiteral("Beendet sich nach so vielen Sekunden; ohne Angabe läuft er bis zu "
                        "einem Signal."),
         QStringLiteral("sekunden")},
    });

    Settings settings;
    const QString problem = parser.parse(QCoreApplication::arguments())
                                ? readSettings(parser, &settings)
                                : parser.errorText();
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!problem.isEmpty()) {
        writeLine(stderr, QStringLiteral("pelvaro-devicesim: %1").arg(problem));
        writeLine(stderr, QStringLiteral("Aufruf siehe: pelvaro-devicesim --help"));
        return kExitUsage;
    }

    QList<DeviceSimulator *> devices;
    for (int i = 0; i < settings.count; ++i) {
        auto *device = new DeviceSimulator(&app);
        device->setSensorCount(settings.sensors);
        device->setBehaviour(settings.behaviours.at(i));
        device->setFixedReadings(settings.readings);
        const quint16 port = settings.firstPort == 0 ? 0 : quint16(settings.firstPort + i);
        if (!device->listen(port)) {
            writeLine(stderr, QStringLiteral("pelvaro-devicesim: Gerät %1 (Port %2): %3")
                                  .arg(i + 1)
                                  .arg(port)
                                  .arg(device->errorString()));
            return kExitFailure;
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
