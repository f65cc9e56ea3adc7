#pragma once

#include <QDateTime>
#include <QList>
#include <QtGlobal>

class PendingRows;
class QString;
struct Registry;

// One average formed by a store: the sensor by position and by number (its ID), the value and the
// store's time.
struct Mittelwert
{
    qint32 sensor;
    qint32 sensorNummer;
    double wert;
    QDateTime zeit;
};

// Turning the accumulated readings into rows of Werte.

// For every sensor with at least one reading since the last store, in table order: one pending
// row with the sensor's ID, the local date and time of this store and the mean of its readings;
// its count and sum go back to 0. Then writing all pending rows, the oldest first, as one
// transaction begins on the store's thread (PendingRows::startWrite); the caller waits for it. A
// failed write never throws: the rows stay pending, with the database's text, for the next
// store. Nothing pumps. Returns the averages formed, for those who watch the program.
QList<Mittelwert> MittelwerteSpeichern(Registry &registry, PendingRows &pending);

// The statement that writes one row:
// INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (7,'2026-12-05 08:04:09', 21.5)
// The value keeps its leading blank when it is not negative.
QString insertStatement(qint32 sensorNummer, double wert, const QDateTime &zeit);

// The text with every comma replaced by a point.
QString KommaZuPunkt(const QString &text);
