#include "konfiguration.h"

#include "database.h"
#include "datenbankverbindung.h"
#include "recordset.h"
#include "registry.h"
#include "runtime/mainview.h"
#include "runtime/runtimeerror.h"
#include "runtime/variantconversion.h"

#include <QStringList>
#include <QVariant>

#include <functional>

namespace {

// The row loop all three loaders share; an error in handleRow is reported with the table and the
// row number (from 1).
void readTable(Registry &registry, MainView &view, const QString &table,
               const std::function<void(Recordset &)> &handleRow)
{
    std::unique_ptr<Recordset> rows = requireDatabase(registry).OpenRecordset(table);
    rows->MoveFirst();
    qint32 row = 0;
    while (!rows->Eof()) {
        ++row;
        try {
            handleRow(*rows);
        } catch (const RuntimeError &error) {
            throw error.withContext(QStringLiteral("Tabelle '%1', Zeile %2").arg(table).arg(row));
        }
        rows->MoveNext();
    }
    view.pump();
    rows->Close();
}

// One column into one slot, in the order that decides which error a bad row gives: the value is
// read first, then the slot is checked, then the value is converted.
template <typename Slot, typename Convert>
void store(Recordset &rows, const QString &column, Slot slot, Convert convert)
{
    const QVariant value = rows.field(column);
    auto &target = slot();
    try {
        target = convert(value);
    } catch (const RuntimeError &error) {
        throw error.withContext(QStringLiteral("Spalte '%1'").arg(column));
    }
}

bool isParameter(const QVariant &value, const QString &name)
{
    return !value.isNull() && value.toString() == name;
}

} // namespace

void GeraeteLesen(Registry &registry, MainView &view)
{
    registry.AnzahlGeraete = 0;
    readTable(registry, view, QStringLiteral("Geraete"), [&registry](Recordset &rows) {
        const qint32 k = ++registry.AnzahlGeraete;
        store(
            rows, QStringLiteral("ID"), [&]() -> auto & { return registry.GeraetID[k]; }, toLong);
        store(
            rows, QStringLiteral("Ip"), [&]() -> auto & { return registry.GeraetIP[k]; }, toText);
        store(
            rows, QStringLiteral("Bezeichnung"), [&]() -> auto & { return registry.GeraetName[k]; },
            toText);
    });
}

void SensorenLesen(Registry &registry, MainView &view)
{
    registry.AnzahlSensoren = 0;
    readTable(registry, view, QStringLiteral("Sensoren"), [&registry](Recordset &rows) {
        const qint32 k = ++registry.AnzahlSensoren;
        store(
            rows, QStringLiteral("ID"), [&]() -> auto & { return registry.SensorID[k]; }, toLong);
        store(
            rows, QStringLiteral("Geraet"), [&]() -> auto & { return registry.SensorGeraet[k]; },
            toLong);
        store(
            rows,
            QStringLiteral("Anschluss"), [&]() -> auto & { return registry.SensorAnschluss[k]; },
            toLong);
        store(
            rows, QStringLiteral("Bezeichnung"), [&]() -> auto & { return registry.SensorName[k]; },
            toText);
    });
}

SettingRows EinstellungenLesen(Registry &registry, MainView &view,
                               const QList<SettingRows::Name> &options)
{
    registry.MessIntervall = 2;
    registry.Messungen = 5;
    SettingRows found;
    qint32 row = 0;
    readTable(registry, view, QStringLiteral("Einstellungen"), [&](Recordset &rows) {
        ++row;
        const QVariant parameter = rows.field(QStringLiteral("Parameter"));
        if (isParameter(parameter, QStringLiteral("MessIntervall"))) {
            store(
                rows, QStringLiteral("Wert"), [&]() -> auto & { return registry.MessIntervall; },
                toLong);
        }
        if (isParameter(parameter, QStringLiteral("Messungen"))) {
            store(
                rows, QStringLiteral("Wert"), [&]() -> auto & { return registry.Messungen; },
                toLong);
        }
        for (const SettingRows::Name &option : options) {
            if (!isParameter(parameter, option.name)) {
                continue;
            }
            qint32 number = 0;
            QString text;
            if (option.kind == SettingRows::Kind::Number) {
                store(
                    rows, QStringLiteral("Wert"), [&]() -> auto & { return number; }, toLong);
            } else {
                store(
                    rows, QStringLiteral("Wert"), [&]() -> auto & { return text; }, toText);
            }
            found.set(option.name, row, number, text);
        }
    });
    return found;
}

void checkWerte(Registry &registry)
{
    const QString table = QStringLiteral("Werte");
    Database &database = requireDatabase(registry);
    const QStringList columns = database.columnNames(table);
    for (const QString &column :
         {QStringLiteral("SensorNummer"), QStringLiteral("Zeit"), QStringLiteral("MessWert")}) {
        if (!columns.contains(column, Qt::CaseInsensitive)) {
            throw RuntimeError(ErrorNumber::ItemNotFound,
                               QStringLiteral("Die Spalte '%1' fehlt in der Tabelle '%2' der "
                                              "Datenbank '%3'.")
                                   .arg(column, table, database.path()));
        }
    }
}
