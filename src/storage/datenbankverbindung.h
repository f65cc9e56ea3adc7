#pragma once

class Database;
class MainView;
class QString;
struct Registry;

// Opening and closing the one database of a run.

// The file the program uses when it is told no other: Messwerte.mdb in the executable's folder.
QString defaultDatabasePath();

// Opens the database at path into registry.Datenbank, then pumps once. Failures are RuntimeErrors
// that name the file; no file is ever created.
void DatenbankOeffnen(Registry &registry, MainView &view, const QString &path);

// Stops the cycle timer, closes the database, empties registry.Datenbank and pumps once. The timer
// is stopped first so that no tick delivered by that pump can meet a closed database.
void DatenbankSchliessen(Registry &registry, MainView &view);

// The database of the run, which must be open: without one, the "object not set" run-time error.
Database &requireDatabase(const Registry &registry);
