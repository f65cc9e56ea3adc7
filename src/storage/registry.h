#pragma once

#include "checkedarray.h"
#include "database.h"

#include <QString>

#include <memory>

// The program's shared state for one run: the open database, the device and sensor tables with
// one reading accumulator per sensor, the two cycle settings and the seconds counter. (The other
// cycle counter, Abfragen, belongs to MessTakt; the rows on their way into Werte to PendingRows;
// the options beyond the original to the parts that use them.)
//
// Rows sit at index 1 upward in the order in which they were loaded; index 0 of every column is
// never filled and keeps its start value. A sensor names its device by that position
// (SensorGeraet = k is the k-th device row read), not by the device's ID.
struct Registry
{
    static constexpr qint32 kMaxGeraete = 50;
    static constexpr qint32 kMaxSensoren = 99;

    std::unique_ptr<Database> Datenbank;

    CheckedArray<qint32, kMaxGeraete + 1> GeraetID{"GeraetID"};
    CheckedArray<QString, kMaxGeraete + 1> GeraetIP{"GeraetIP"};
    CheckedArray<QString, kMaxGeraete + 1> GeraetName{"GeraetName"};
    qint32 AnzahlGeraete = 0;

    CheckedArray<qint32, kMaxSensoren + 1> SensorID{"SensorID"};
    CheckedArray<qint32, kMaxSensoren + 1> SensorGeraet{"SensorGeraet"};
    CheckedArray<qint32, kMaxSensoren + 1> SensorAnschluss{"SensorAnschluss"};
    CheckedArray<QString, kMaxSensoren + 1> SensorName{"SensorName"};
    qint32 AnzahlSensoren = 0;
    // Sum and count of the readings accepted since the last store; they change together, and a
    // count of 0 always goes with a sum of 0.
    CheckedArray<double, kMaxSensoren + 1> SensorSumme{"SensorSumme"};
    CheckedArray<double, kMaxSensoren + 1> SensorZaehler{"SensorZaehler"};

    qint32 MessIntervall = 0;
    qint32 Messungen = 0;
    qint32 Sekunden = 0;
};
