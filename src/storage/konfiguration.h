#pragma once

#include "settingrows.h"

class MainView;
struct Registry;

// The three loaders that copy the configuration from the open database into the registry, once
// at start-up. Each reads its whole table in insertion order and pumps once after the last row.
// Every failure (missing table or column, an empty table, a null or non-number where a number is
// read, a null where a text is read, more rows than the registry holds) is a RuntimeError that
// names the table, the row and the column.

// Devices, from Geraete (ID, IP, Bezeichnung); at most 50 rows.
void GeraeteLesen(Registry &registry, MainView &view);
// Sensors, from Sensoren (ID, Geraet, Anschluss, Bezeichnung); at most 99 rows.
void SensorenLesen(Registry &registry, MainView &view);
// The settings, from Einstellungen (Parameter, Wert): first the defaults (MessIntervall 2,
// Messungen 5), then for each setting the Wert of the last row whose Parameter is exactly its
// name. The same for the options named (each read as a number or a text, as its kind says); what
// they found is returned for the parts that use them. Rows with other names are skipped.
SettingRows EinstellungenLesen(Registry &registry, MainView &view,
                               const QList<SettingRows::Name> &options = {});

// Werte is only ever written, so a missing table or column would otherwise show only at the first
// store: start-up checks that it has SensorNummer, Zeit and MessWert, with the same errors as the
// loaders give for their tables. Reads no row.
void checkWerte(Registry &registry);
