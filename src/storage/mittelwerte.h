#pragma once

#include <QtGlobal>

class QDateTime;
class QString;
struct Registry;

// Turning the accumulated readings into rows of Werte.

// For every sensor with at least one reading since the last store, in table order: one row with
// the sensor's ID, the local date and time and the mean of its readings; then its count and sum
// go back to 0. Each row is its own statement; a failing statement is a RuntimeError, and the rows
// written before it stay. Nothing pumps.
void MittelwerteSpeichern(Registry &registry);

// Appends one row to Werte through registry.Datenbank, stamped with the current local time.
void WertSpeichern(Registry &registry, qint32 sensorNummer, double wert);

// The statement WertSpeichern executes, for the given time:
// INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (7,'2026-12-05 08:04:09', 21.5)
// The value keeps its leading blank when it is not negative.
QString insertStatement(qint32 sensorNummer, double wert, const QDateTime &zeit);

// The text with every comma replaced by a point.
QString KommaZuPunkt(const QString &text);
