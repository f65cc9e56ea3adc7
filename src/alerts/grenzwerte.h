#pragma once

#include <QHash>
#include <QtGlobal>

#include <optional>

struct Registry;

// The limits a sensor's stored averages should keep; either may be missing.
struct Grenzwert
{
    std::optional<double> minimum;
    std::optional<double> maximum;
};

// The optional table Grenzwerte (SensorNummer, Minimum, Maximum) of the open database, by
// SensorNummer; a row whose Minimum and Maximum are both null sets no limit. A database without
// the table has no limits, and so has one whose table is empty. Everything else is a RuntimeError
// that names the table, the row and the column: a column that is missing, a null or non-number
// SensorNummer, a limit that is no finite number, Minimum above Maximum, a sensor that is not in
// Sensoren or has a row already, or any other failure to read the table.
QHash<qint32, Grenzwert> GrenzwerteLesen(const Registry &registry);
