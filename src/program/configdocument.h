#pragma once

#include <QByteArray>

class MainView;
struct Registry;

// The whole configuration of a database as one JSON document, to set up a new box from an old
// one's: every row of Einstellungen as it stands (in table order, names the program does not know
// included), the devices in position order, the sensors in table order, the limits of
// Grenzwerte where the table exists. Only the columns the program reads are in it; Werte never is.
//
//   {"format": "pelvaro-konfiguration", "version": 1,
//    "Einstellungen": [{"Parameter": "MessIntervall", "Wert": 2}, ...],
//    "Geraete": [{"ID": 10, "IP": "192.168.1.20", "Bezeichnung": "Heizung"}, ...],
//    "Sensoren": [{"ID": 7, "Geraet": 1, "Anschluss": 1, "Bezeichnung": "Vorlauf"}, ...],
//    "Grenzwerte": [{"SensorNummer": 7, "Minimum": null, "Maximum": 80}, ...]}
//
// The same database always gives the same bytes. registry.Datenbank must be open.
QByteArray exportConfiguration(Registry &registry);

// Replaces the configuration of the open database with document's, in one transaction: the rows
// of Einstellungen, Geraete, Sensoren and Grenzwerte go, the document's come, and before the
// commit the new tables are read back with the checks of start-up; Werte stays as it is. Throws
// RuntimeError, naming the element or the table, row and column, and then nothing was written:
// InvalidArgument for a document that fails the checks, another number for a database that
// refused the writing.
// With stand (what configurationStand gave when the document was made), the import is refused,
// false with nothing written, when the configuration has changed since: the tables are locked
// first and then compared, so no other writer can come between.
bool importConfiguration(Registry &registry, MainView &view, const QByteArray &document,
                         const QByteArray &stand = {});

// A short fingerprint of an exported configuration document.
QByteArray configurationStand(const QByteArray &document);
