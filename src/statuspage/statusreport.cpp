#include "statusreport.h"

#include "runtime/bounds.h"
#include "runtime/version.h"
#include "runtime/wallclock.h"
#include "storage/registry.h"
#include "web/geraeteabfragen.h"
#include "web/pollingstate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// What a device's fetch may take, one after the other, in whole seconds.
constexpr qint64 kFetchSeconds = Bounds::kFetchWaitMs / 1000;

QJsonValue timeValue(const QDateTime &local)
{
    return local.isValid() ? QJsonValue(WallClock::isoText(WallClock::fromLocal(local)))
                           : QJsonValue();
}

QJsonValue numberValue(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
}

QJsonObject storeObject(const StoreState &store)
{
    return QJsonObject{
        {QStringLiteral("ok"), store.failure.isEmpty()},
        {QStringLiteral("fehler"),
         store.failure.isEmpty() ? QJsonValue() : QJsonValue(store.failure)},
        {QStringLiteral("fehlerSeit"), timeValue(store.failingSince)},
        {QStringLiteral("wartend"), store.waiting},
        {QStringLiteral("verworfen"), store.dropped},
        {QStringLiteral("fehlgeschlagen"), store.failedStores},
        {QStringLiteral("abgewiesen"), store.refused},
    };
}

// The hourly figures of long charts: "bereit" once they cover every row of Werte.
QJsonObject langzeitObject(const StoreState::Langzeit &langzeit)
{
    return QJsonObject{
        {QStringLiteral("vorhanden"), langzeit.vorhanden},
        {QStringLiteral("bereit"), langzeit.vorhanden && langzeit.bereit},
        {QStringLiteral("fortschritt"), langzeit.vorhanden ? langzeit.fortschritt : 0.0},
    };
}

QJsonValue optionalValue(const std::optional<qint64> &value)
{
    return value ? QJsonValue(*value) : QJsonValue();
}

// Size, rows and age of the database, and what the process writes to it, for a person who must
// tell whether the disk lasts.
QJsonObject bestandObject(const WerteReader::Bestand &bestand, const StoreState::Schreibrate &rate)
{
    QJsonValue schreibrate = QStringLiteral("unbekannt");
    if (rate.bekannt && rate.speicherungen > 0) {
        QJsonObject measured{{QStringLiteral("bytesJeSpeicherung"),
                              qint64(std::llround(double(rate.bytes) / rate.speicherungen))},
                             {QStringLiteral("speicherungen"), rate.speicherungen}};
        measured.insert(QStringLiteral("bytesJeTag"),
                        rate.sekunden > 0
                            ? QJsonValue(qint64(std::llround(rate.bytes / rate.sekunden * 86400)))
                            : QJsonValue());
        schreibrate = measured;
    }
    return QJsonObject{
        {QStringLiteral("groesse"), optionalValue(bestand.groesse)},
        {QStringLiteral("zeilen"), optionalValue(bestand.zeilen)},
        {QStringLiteral("zeilenGeschaetzt"), bestand.geschaetzt},
        {QStringLiteral("aeltesteZeit"), bestand.aeltesteZeit
                                             ? QJsonValue(WallClock::isoText(*bestand.aeltesteZeit))
                                             : QJsonValue()},
        {QStringLiteral("schreibrate"), schreibrate},
    };
}

QJsonArray devices(const StatusSource &source)
{
    const Registry &registry = source.registry();
    const PollingState &polling = source.polling();
    QJsonArray list;
    for (qint32 i = 1; i <= registry.AnzahlGeraete; ++i) {
        const PollingState::Device device = polling.device(i);
        const bool failing = device.failure.failed();
        list.append(QJsonObject{
            {QStringLiteral("position"), i},
            {QStringLiteral("id"), registry.GeraetID[i]},
            {QStringLiteral("bezeichnung"), registry.GeraetName[i]},
            {QStringLiteral("adresse"), registry.GeraetIP[i]},
            {QStringLiteral("antwortet"),
             polling.passes() > 0 ? QJsonValue(device.failuresInRow == 0) : QJsonValue()},
            {QStringLiteral("fehlerInFolge"), device.failuresInRow},
            {QStringLiteral("fehlerSeit"), timeValue(device.failingSince)},
            {QStringLiteral("letzterErfolg"), timeValue(device.lastGood)},
            {QStringLiteral("fehlerGrund"),
             failing ? QJsonValue(device.failure.keyword()) : QJsonValue()},
            {QStringLiteral("fehlerText"),
             failing ? QJsonValue(device.failure.text()) : QJsonValue()},
        });
    }
    return list;
}

QJsonArray sensors(const StatusSource &source, const WerteFacts &facts)
{
    const Registry &registry = source.registry();
    QJsonArray list;
    for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
        const PollingState::Sensor sensor = source.polling().sensor(j);
        const double count = registry.SensorZaehler[j];
        const std::optional<StatusSource::Stored> stored =
            StatusReport::stored(source, facts, registry.SensorID[j]);
        list.append(QJsonObject{
            {QStringLiteral("position"), j},
            {QStringLiteral("nummer"), registry.SensorID[j]},
            {QStringLiteral("bezeichnung"), registry.SensorName[j]},
            {QStringLiteral("geraet"), registry.SensorGeraet[j]},
            {QStringLiteral("anschluss"), registry.SensorAnschluss[j]},
            {QStringLiteral("messwert"), numberValue(sensor.reading)},
            {QStringLiteral("gemessen"), timeValue(sensor.readAt)},
            {QStringLiteral("mittelwert"),
             count > 0 ? numberValue(StatusReport::asWritten(registry.SensorSumme[j] / count))
                       : QJsonValue()},
            {QStringLiteral("messungenImMittel"), count},
            {QStringLiteral("gespeichert"),
             stored ? QJsonValue(QJsonObject{{QStringLiteral("wert"), numberValue(stored->wert)},
                                             {QStringLiteral("zeit"), timeValue(stored->zeit)}})
                    : QJsonValue()},
        });
    }
    return list;
}

QJsonValue lastPass(const StatusSource &source)
{
    const PollingState &polling = source.polling();
    if (polling.passes() == 0) {
        return QJsonValue();
    }
    const PassOutcome &pass = polling.lastPass();
    QString log = source.passLog();
    log.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return QJsonObject{
        {QStringLiteral("beginn"), timeValue(pass.started)},
        {QStringLiteral("ende"), timeValue(pass.ended)},
        {QStringLiteral("dauerSekunden"), double(pass.started.msecsTo(pass.ended)) / 1000.0},
        {QStringLiteral("protokoll"), log},
    };
}

QString indexState(WerteReader::Index index)
{
    switch (index) {
    case WerteReader::Index::Present:
        return QStringLiteral("vorhanden");
    case WerteReader::Index::Missing:
        return QStringLiteral("fehlt");
    case WerteReader::Index::Unknown:
        break;
    }
    return QStringLiteral("unbekannt");
}

} // namespace

namespace StatusReport {

Health health(const StatusSource &source, const QDateTime &now)
{
    const StoreState store = source.storeState();
    if (!store.failure.isEmpty()) {
        return Health{false, QStringLiteral("Speichern in die Datenbank schlägt fehl: %1. %2 "
                                            "Messwerte warten.")
                                 .arg(store.failure)
                                 .arg(store.waiting)};
    }
    const Registry &registry = source.registry();
    const PollingState &polling = source.polling();
    const QDateTime since = polling.passes() > 0 ? polling.lastPass().ended : source.startedAt();
    const qint32 parallelSeconds = source.passOptions().parallelSeconds;
    const qint64 passSeconds = parallelSeconds >= 1
                                   ? qint64(parallelSeconds) + kFetchSeconds
                                   : qint64(registry.AnzahlGeraete) * kFetchSeconds;
    const qint64 allowed =
        std::max<qint64>(registry.MessIntervall, 1) + passSeconds + kSlackSeconds;
    const qint64 quiet = since.secsTo(now);
    if (quiet > allowed) {
        return Health{false, QStringLiteral("Seit %1 Sekunden kein Abfragedurchgang (erwartet "
                                            "spätestens nach %2 Sekunden).")
                                 .arg(quiet)
                                 .arg(allowed)};
    }
    return Health{};
}

double asWritten(double value)
{
    return std::isfinite(value) ? QString::number(value, 'g', 15).toDouble() : value;
}

QString deviceOf(const Registry &registry, qint32 sensor)
{
    const qint32 device = registry.SensorGeraet[sensor];
    return device >= 1 && device <= registry.AnzahlGeraete ? registry.GeraetName[device]
                                                           : QString();
}

std::optional<StatusSource::Stored> stored(const StatusSource &source, const WerteFacts &facts,
                                           qint32 sensorNummer)
{
    if (std::optional<StatusSource::Stored> now = source.lastStored(sensorNummer)) {
        return now;
    }
    const auto atStart = facts.storedAtStart.constFind(sensorNummer);
    if (atStart == facts.storedAtStart.cend()) {
        return std::nullopt;
    }
    return *atStart;
}

QByteArray json(const StatusSource &source, const WerteFacts &facts)
{
    const Registry &registry = source.registry();
    const QDateTime now = QDateTime::currentDateTime();
    const Health healthy = health(source, now);
    const StoreState store = source.storeState();
    QJsonArray alerts;
    for (const ActiveAlert &alert : source.alerts()) {
        alerts.append(QJsonObject{{QStringLiteral("seit"), timeValue(alert.since)},
                                  {QStringLiteral("text"), alert.text}});
    }
    const QJsonObject status{
        {QStringLiteral("version"), QString::fromLatin1(pelvaroVersion)},
        {QStringLiteral("datenbank"), source.databaseName()},
        {QStringLiteral("gestartet"), timeValue(source.startedAt())},
        {QStringLiteral("jetzt"), timeValue(now)},
        {QStringLiteral("laufzeitSekunden"), source.startedAt().secsTo(now)},
        {QStringLiteral("messIntervall"), registry.MessIntervall},
        {QStringLiteral("messungen"), registry.Messungen},
        {QStringLiteral("gesund"),
         QJsonObject{
             {QStringLiteral("ok"), healthy.ok},
             {QStringLiteral("grund"), healthy.ok ? QJsonValue() : QJsonValue(healthy.reason)}}},
        {QStringLiteral("durchgaenge"), source.polling().passes()},
        {QStringLiteral("letzterDurchgang"), lastPass(source)},
        {QStringLiteral("speicher"), storeObject(store)},
        {QStringLiteral("langzeit"), langzeitObject(store.langzeit)},
        {QStringLiteral("datenbankStand"), bestandObject(facts.bestand, store.schreibrate)},
        {QStringLiteral("index"),
         QJsonObject{{QStringLiteral("zustand"), indexState(facts.index)},
                     {QStringLiteral("anweisung"), WerteReader::indexStatement()}}},
        {QStringLiteral("geraete"), devices(source)},
        {QStringLiteral("sensoren"), sensors(source, facts)},
        {QStringLiteral("alarme"), alerts},
        {QStringLiteral("unzustellbareAlarme"), source.undeliveredAlerts()},
        {QStringLiteral("konfiguration"),
         QJsonObject{{QStringLiteral("ausstehend"), source.configurationPending()},
                     {QStringLiteral("problem"), source.configurationProblem().isEmpty()
                                                     ? QJsonValue()
                                                     : QJsonValue(source.configurationProblem())}}},
    };
    return QJsonDocument(status).toJson(QJsonDocument::Compact);
}

} // namespace StatusReport
