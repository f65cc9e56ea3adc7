#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// How storing into Werte goes in this run, for those who watch the program (status page, alerts).
struct StoreState
{
    // Why the latest store failed; empty while storing works.
    QString failure;
    // When the current run of failed stores began; invalid while storing works.
    QDateTime failingSince;
    // Rows waiting to be written, and rows dropped because too many waited.
    qint64 waiting = 0;
    qint64 dropped = 0;
    // Failed stores of this run.
    qint64 failedStores = 0;
    // Rows the database refused for a reason of their own in this run, and the file they went to.
    qint64 refused = 0;
    QString refusedFile;

    // The hourly figures of long charts (Stundenwerte).
    struct Langzeit
    {
        // The table is there and kept.
        bool vorhanden = false;
        // The figures cover every row of Werte; until then charts read Werte itself.
        bool bereit = false;
        // How far the first walk through Werte has come, 0 to 1.
        double fortschritt = 0;
    };
    Langzeit langzeit;

    // What the process writes, measured from the start of one store to the start of the next
    // (the stores, and whatever is written between them: figures, retention, the journal).
    struct Schreibrate
    {
        // Unknown where the system does not tell, and before two stores.
        bool bekannt = false;
        qint64 bytes = 0;
        qint64 speicherungen = 0;
        double sekunden = 0;
    };
    Schreibrate schreibrate;
};
