#pragma once

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
// Messungen 5, ParallelAbfrage 0, AlarmNachFehlern 5, AlarmSpeicherMinuten 10, the texts empty),
// then for each setting the Wert of the last row whose Parameter is exactly its name: a number
// for MessIntervall, Messungen, ParallelAbfrage, AlarmNachFehlern and AlarmSpeicherMinuten, a
// text for StatusAdresse, AlarmMailServer, AlarmMailVon, AlarmMailAn and AlarmWebhook.
// AlarmEingestellt tells whether any of the Alarm rows was there.
void EinstellungenLesen(Registry &registry, MainView &view);

// Werte is only ever written, so a missing table or column would otherwise show only at the first
// store: start-up checks that it has SensorNummer, Zeit and MessWert, with the same errors as the
// loaders give for their tables. Reads no row.
void checkWerte(Registry &registry);
