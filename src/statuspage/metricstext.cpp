#include "metricstext.h"

#include "runtime/version.h"
#include "statusreport.h"
#include "statussource.h"
#include "storage/registry.h"
#include "web/pollingstate.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QPair>
#include <QString>

#include <cmath>

namespace {

using Labels = QList<QPair<const char *, QString>>;

class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        m_text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                      .arg(QLatin1String(name), QString::fromUtf8(help), QLatin1String(type));
    }

    void sample(const char *name, double value, const Labels &labels = {})
    {
        m_text += QLatin1String(name);
        if (!labels.isEmpty()) {
            QStringList pairs;
            for (const auto &label : labels) {
                pairs << QLatin1String(label.first) + QStringLiteral("=\"") + escaped(label.second)
                             + QLatin1Char('"');
            }
            m_text += QLatin1Char('{') + pairs.join(QLatin1Char(',')) + QLatin1Char('}');
        }
        // Shortest round-trip form; Prometheus reads "NaN" and "+Inf" as such.
        m_text +=
            QLatin1Char(' ')
            + (std::isfinite(value) ? QString::number(value, 'g', QLocale::FloatingPointShortest)
                                    : QString::fromLatin1(std::isnan(value) ? "NaN"
                                                          : value > 0       ? "+Inf"
                                                                            : "-Inf"))
            + QLatin1Char('\n');
    }

    QByteArray text() const { return m_text.toUtf8(); }

private:
    static QString escaped(QString value)
    {
        value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        value.replace(QLatin1Char('"'), QLatin1String("\\\""));
        value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        return value;
    }

    QString m_text;
};

double unixTime(const QDateTime &time)
{
    return double(time.toMSecsSinceEpoch()) / 1000.0;
}

} // namespace

QByteArray metricsText(const StatusSource &source)
{
    const Registry &registry = source.registry();
    const PollingState &polling = source.polling();
    const StoreState store = source.storeState();
    Exposition out;

    out.family("pelvaro_build_info", "gauge", "Version des Programms; der Wert ist immer 1.");
    out.sample("pelvaro_build_info", 1, {{"version", QString::fromLatin1(pelvaroVersion)}});
    out.family("pelvaro_start_time_seconds", "gauge", "Start des Programms als Unix-Zeit.");
    out.sample("pelvaro_start_time_seconds", unixTime(source.startedAt()));

    out.family("pelvaro_passes_total", "counter", "Abfragedurchgänge seit dem Start.");
    out.sample("pelvaro_passes_total", double(polling.passes()));
    if (polling.passes() > 0) {
        const PassOutcome &pass = polling.lastPass();
        out.family("pelvaro_pass_duration_seconds", "gauge",
                   "Dauer des letzten Abfragedurchgangs.");
        out.sample("pelvaro_pass_duration_seconds",
                   double(pass.started.msecsTo(pass.ended)) / 1000.0);

        out.family("pelvaro_device_up", "gauge",
                   "1, wenn das Gerät im letzten Durchgang geantwortet hat, sonst 0.");
        for (qint32 i = 1; i <= registry.AnzahlGeraete; ++i) {
            out.sample("pelvaro_device_up", polling.device(i).failuresInRow == 0 ? 1 : 0,
                       {{"position", QString::number(i)},
                        {"device", registry.GeraetName[i]},
                        {"address", registry.GeraetIP[i]}});
        }
        out.family("pelvaro_device_last_success_timestamp_seconds", "gauge",
                   "Ende des letzten Durchgangs, in dem das Gerät geantwortet hat, als Unix-Zeit.");
        for (qint32 i = 1; i <= registry.AnzahlGeraete; ++i) {
            if (const QDateTime good = polling.device(i).lastGood; good.isValid()) {
                out.sample("pelvaro_device_last_success_timestamp_seconds", unixTime(good),
                           {{"position", QString::number(i)}, {"device", registry.GeraetName[i]}});
            }
        }
    }

    // Every reason of every device from the start, zeros included, so that rate() and increase()
    // see a series begin at 0 rather than at its first failure.
    out.family("pelvaro_device_failures_total", "counter",
               "Erfolglose Abfragen des Geräts seit dem Start, nach Grund.");
    for (qint32 i = 1; i <= registry.AnzahlGeraete; ++i) {
        const PollingState::Device device = polling.device(i);
        for (const FetchFailure::Reason reason : FetchFailure::kFailures) {
            out.sample("pelvaro_device_failures_total", double(device.failuresFor(reason)),
                       {{"position", QString::number(i)},
                        {"device", registry.GeraetName[i]},
                        {"reason", FetchFailure::keyword(reason)}});
        }
    }

    // Each family's samples stand together, as the format requires.
    const auto sensorSamples = [&](const char *name, auto value) {
        for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
            const PollingState::Sensor sensor = polling.sensor(j);
            if (!std::isnan(sensor.reading)) {
                out.sample(name, value(sensor),
                           {{"sensor", QString::number(registry.SensorID[j])},
                            {"name", registry.SensorName[j]},
                            {"device", StatusReport::deviceOf(registry, j)}});
            }
        }
    };
    out.family("pelvaro_sensor_reading", "gauge", "Letzter Messwert des Sensors.");
    sensorSamples("pelvaro_sensor_reading",
                  [](const PollingState::Sensor &sensor) { return sensor.reading; });
    out.family("pelvaro_sensor_reading_timestamp_seconds", "gauge",
               "Ende des Durchgangs, der den letzten Messwert brachte, als Unix-Zeit.");
    sensorSamples("pelvaro_sensor_reading_timestamp_seconds",
                  [](const PollingState::Sensor &sensor) { return unixTime(sensor.readAt); });

    out.family("pelvaro_store_ok", "gauge", "1, solange das Speichern in die Datenbank gelingt.");
    out.sample("pelvaro_store_ok", store.failure.isEmpty() ? 1 : 0);
    out.family("pelvaro_store_failures_total", "counter",
               "Fehlgeschlagene Speicherungen seit dem Start.");
    out.sample("pelvaro_store_failures_total", double(store.failedStores));
    out.family("pelvaro_rows_waiting", "gauge", "Messwerte, die auf das Speichern warten.");
    out.sample("pelvaro_rows_waiting", double(store.waiting));
    out.family("pelvaro_rows_refused_total", "counter",
               "Messwerte, die die Datenbank seit dem Start abgewiesen hat.");
    out.sample("pelvaro_rows_refused_total", double(store.refused));
    return out.text();
}
