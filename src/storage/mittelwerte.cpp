#include "mittelwerte.h"

#include "database.h"
#include "registry.h"
#include "runtime/numbertext.h"

#include <QDateTime>

#include <cmath>

namespace {

// "1 Messwert wartet", "3 Messwerte warten".
QString values(qint64 count, const char *one, const char *many)
{
    return QString::number(count) + QLatin1Char(' ') + QString::fromUtf8(count == 1 ? one : many);
}

QString droppedNote(const PendingRows &pending)
{
    if (pending.dropped() == 0) {
        return QString();
    }
    return QLatin1Char(' ')
           + values(pending.dropped(), "älterer Messwert wurde", "ältere Messwerte wurden")
           + QStringLiteral(" verworfen, weil zu viele warteten.");
}

} // namespace

QList<Mittelwert> MittelwerteSpeichern(Registry &registry)
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
                registry.pendingRows.append(registry.SensorID[i], zeit, average);
                formed.append(Mittelwert{i, registry.SensorID[i], average, zeit});
            }
            registry.SensorZaehler[i] = 0;
            registry.SensorSumme[i] = 0;
        }
    }
    writePendingRows(registry);
    return formed;
}

bool writePendingRows(Registry &registry)
{
    PendingRows &pending = registry.pendingRows;
    if (pending.isEmpty()) {
        return true;
    }
    if (!registry.Datenbank) {
        pending.setFailure(QStringLiteral("keine Datenbank offen"));
        return false;
    }
    // After a failed store the connection may be the broken one of a server that is back by now.
    QString away;
    if (!pending.failure().isEmpty() && !registry.Datenbank->reconnect(&away)) {
        pending.setFailure(away);
        return false;
    }
    const QString failure =
        registry.Datenbank->executeInTransaction(pending.size(), [&pending](qsizetype i) {
            const PendingRows::Row &row = pending.at(i);
            return insertStatement(row.sensorNummer, row.wert, PendingRows::zeitOf(row));
        });
    if (!failure.isEmpty()) {
        pending.setFailure(failure);
        return false;
    }
    pending.clear();
    return true;
}

QString insertStatement(qint32 sensorNummer, double wert, const QDateTime &zeit)
{
    return QStringLiteral("INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (")
           + QString::number(sensorNummer) + QStringLiteral(",'")
           + zeit.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("',")
           + KommaZuPunkt(numberText(wert)) + QStringLiteral(")");
}

QString KommaZuPunkt(const QString &text)
{
    QString result = text;
    result.replace(QLatin1Char(','), QLatin1Char('.'));
    return result;
}

QString storeFailedLine(const Registry &registry)
{
    const PendingRows &pending = registry.pendingRows;
    return QStringLiteral("Speichern in die Datenbank fehlgeschlagen: %1. ").arg(pending.failure())
           + values(pending.size(), "Messwert wartet.", "Messwerte warten.") + droppedNote(pending);
}

QString rowsWaitingLine(const Registry &registry)
{
    const PendingRows &pending = registry.pendingRows;
    return values(pending.size(), "Messwert wartet", "Messwerte warten")
           + QStringLiteral(" noch auf das Speichern.") + droppedNote(pending);
}

QString rowsWrittenLine(const Registry &registry, qsizetype count)
{
    return values(count, "zurückgehaltener Messwert ist", "zurückgehaltene Messwerte sind")
           + QStringLiteral(" jetzt gespeichert.") + droppedNote(registry.pendingRows);
}
