#pragma once

#include <QDateTime>
#include <QList>
#include <QtGlobal>

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
// its count and sum go back to 0. Then all pending rows, the oldest first, are written as one
// transaction (writePendingRows). A failed write never throws: the rows stay pending, with
// the database's text, for the next store. Nothing pumps. Returns the averages formed, for those
// who watch the program.
QList<Mittelwert> MittelwerteSpeichern(Registry &registry);

// Writes registry.pendingRows into Werte in one transaction, each row with its own Zeit. True
// when they were written (or there were none): the pending rows are then empty. False when the
// write failed or no database is open: nothing was written, the rows stay, and
// registry.pendingRows.failure() says why.
bool writePendingRows(Registry &registry);

// The statement that writes one row:
// INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (7,'2026-12-05 08:04:09', 21.5)
// The value keeps its leading blank when it is not negative.
QString insertStatement(qint32 sensorNummer, double wert, const QDateTime &zeit);

// The text with every comma replaced by a point.
QString KommaZuPunkt(const QString &text);

// The lines that tell about pending rows, in German like the program's other texts.
// After a store that failed: why, and how many values wait.
QString storeFailedLine(const Registry &registry);
// While values wait.
QString rowsWaitingLine(const Registry &registry);
// Once count waiting values have been written; names the dropped ones too.
QString rowsWrittenLine(const Registry &registry, qsizetype count);
