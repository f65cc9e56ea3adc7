#pragma once

#include "checkedarray.h"
#include "database.h"
#include "pendingrows.h"

#include <QString>

#include <memory>

// The program's whole shared state for one run: the open database, the device and sensor tables
// with one reading accumulator per sensor, the rows still to be written, the two cycle settings
// and the seconds counter.
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

    // Rows that a store could not write yet, in order, each with its own store's time stamp.
    PendingRows pendingRows;

    qint32 MessIntervall = 0;
    qint32 Messungen = 0;
    // Seconds that a parallel polling pass may take; 0 or less keeps the sequential pass.
    qint32 ParallelAbfrage = 0;

    // Options beyond the original; without their rows they stay off. The texts are empty when
    // not set; checking them is up to the part that uses them.
    // Where the status page listens ("127.0.0.1:8080", a bare port for loopback).
    QString StatusAdresse;
    // Alerts: a device failing this many passes in a row, the store failing this many minutes;
    // where messages go (an SMTP server with sender and recipients, a webhook URL).
    qint32 AlarmNachFehlern = 5;
    qint32 AlarmSpeicherMinuten = 10;
    QString AlarmMailServer;
    QString AlarmMailVon;
    QString AlarmMailAn;
    QString AlarmWebhook;
    // Whether any of the Alarm rows above is in Einstellungen: without one, alerts stay off.
    bool AlarmEingestellt = false;
    qint32 Sekunden = 0;
};
