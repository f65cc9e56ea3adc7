#include "mittelwerte.h"

#include "pendingrows.h"
#include "registry.h"
#include "runtime/numbertext.h"
#include "runtime/timeformats.h"

#include <QDateTime>

#include <cmath>

QList<Mittelwert> MittelwerteSpeichern(Registry &registry, PendingRows &pending)
{
    QList<Mittelwert> formed;
    // One time stamp for the whole store: a row written late still says when its average was
    // formed, and the rows of one store belong together.
    const QDateTime zeit = QDateTime::currentDateTime();
    const qint32 n = registry.AnzahlSensoren;
    for (qint32 i = 0; i <= n; ++i) {
        if (registry.SensorZaehler[i] > 0.0) {
            const double average = registry.SensorSumme[i] / registry.SensorZaehler[i];
            // The polling pass keeps every sum finite, so this never fails; should it, a reading
            // that cannot be stored is dropped rather than the whole logger ended.
            if (std::isfinite(average)) {
                pending.append(registry.SensorID[i], zeit, average);
                formed.append(Mittelwert{i, registry.SensorID[i], average, zeit});
            }
            registry.SensorZaehler[i] = 0;
            registry.SensorSumme[i] = 0;
        }
    }
    pending.startWrite();
    return formed;
}

QString insertStatement(qint32 sensorNummer, double wert, const QDateTime &zeit)
{
    return QStringLiteral("INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (")
           + QString::number(sensorNummer) + QStringLiteral(",'") + TimeFormat::werteText(zeit)
           + QStringLiteral("',") + KommaZuPunkt(numberText(wert)) + QStringLiteral(")");
}

QString KommaZuPunkt(const QString &text)
{
    QString result = text;
    result.replace(QLatin1Char(','), QLatin1Char('.'));
    return result;
}
