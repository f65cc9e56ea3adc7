#include "grenzwerte.h"

#include "runtime/numbertext.h"
#include "runtime/runtimeerror.h"
#include "runtime/variantconversion.h"
#include "storage/database.h"
#include "storage/datenbankverbindung.h"
#include "storage/recordset.h"
#include "storage/registry.h"

#include <QLocale>
#include <QVariant>

#include <cmath>

namespace {

const QString kTable = QStringLiteral("Grenzwerte");

RuntimeError inColumn(const RuntimeError &error, const QString &column)
{
    return error.withContext(QStringLiteral("Spalte '%1'").arg(column));
}

// A number, or a text that reads as one (a server's numeric type may arrive as text); null is no
// limit.
std::optional<double> limit(const Recordset &rows, const QString &column)
{
    const QVariant value = rows.field(column);
    if (value.isNull()) {
        return std::nullopt;
    }
    bool ok = false;
    double number = 0;
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        number = QLocale::c().toDouble(text, &ok);
        if (!ok) {
            number = QLocale::system().toDouble(text, &ok);
        }
    } else {
        number = value.toDouble(&ok);
    }
    if (!ok || !std::isfinite(number)) {
        throw inColumn(RuntimeError(ErrorNumber::TypeMismatch,
                                    QStringLiteral("Typen unverträglich: '%1' ist keine endliche "
                                                   "Zahl.")
                                        .arg(value.toString())),
                       column);
    }
    return number;
}

bool isSensor(const Registry &registry, qint32 nummer)
{
    for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
        if (registry.SensorID[j] == nummer) {
            return true;
        }
    }
    return false;
}

} // namespace

QHash<qint32, Grenzwert> GrenzwerteLesen(const Registry &registry)
{
    QHash<qint32, Grenzwert> limits;
    std::unique_ptr<Recordset> rows;
    try {
        rows = requireDatabase(registry).OpenRecordset(kTable);
        rows->MoveFirst();
    } catch (const RuntimeError &error) {
        if (error.number() == ErrorNumber::TableNotFound
            || error.number() == ErrorNumber::NoCurrentRecord) {
            return limits;
        }
        throw;
    }
    QHash<qint32, qint32> rowOfSensor;
    qint32 row = 0;
    while (!rows->Eof()) {
        ++row;
        try {
            const QString nummerColumn = QStringLiteral("SensorNummer");
            qint32 nummer = 0;
            try {
                nummer = toLong(rows->field(nummerColumn));
            } catch (const RuntimeError &error) {
                throw inColumn(error, nummerColumn);
            }
            const Grenzwert grenzwert{limit(*rows, QStringLiteral("Minimum")),
                                      limit(*rows, QStringLiteral("Maximum"))};
            if (!isSensor(registry, nummer)) {
                throw inColumn(RuntimeError(ErrorNumber::InvalidArgument,
                                            QStringLiteral("Den Sensor %1 gibt es in der Tabelle "
                                                           "'Sensoren' nicht.")
                                                .arg(nummer)),
                               nummerColumn);
            }
            if (rowOfSensor.contains(nummer)) {
                throw inColumn(RuntimeError(ErrorNumber::InvalidArgument,
                                            QStringLiteral("Für den Sensor %1 stehen schon in "
                                                           "Zeile %2 Grenzwerte.")
                                                .arg(nummer)
                                                .arg(rowOfSensor.value(nummer))),
                               nummerColumn);
            }
            rowOfSensor.insert(nummer, row);
            if (grenzwert.minimum && grenzwert.maximum && *grenzwert.minimum > *grenzwert.maximum) {
                throw inColumn(RuntimeError(ErrorNumber::InvalidArgument,
                                            QStringLiteral("Das Minimum %1 liegt über dem "
                                                           "Maximum %2.")
                                                .arg(numberText(*grenzwert.minimum).trimmed(),
                                                     numberText(*grenzwert.maximum).trimmed())),
                               QStringLiteral("Minimum"));
            }
            if (grenzwert.minimum || grenzwert.maximum) {
                limits.insert(nummer, grenzwert);
            }
        } catch (const RuntimeError &error) {
            throw error.withContext(QStringLiteral("Tabelle '%1', Zeile %2").arg(kTable).arg(row));
        }
        rows->MoveNext();
    }
    rows->Close();
    return limits;
}
