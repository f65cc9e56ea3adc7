-- Creates an empty Messwerte.mdb (an SQLite file) with the tables the program uses:
--   sqlite3 Messwerte.mdb < docs/schema.sql
-- The program reads Einstellungen, Geraete and Sensoren once at start-up and appends to Werte.
-- Table and column names are matched without regard to case; further columns are ignored.

-- A write-ahead log: a store then syncs the disk once instead of three or four times (on an SD
-- card each sync can take half a second) and readers never wait for a store. It stays with the
-- file; beside it SQLite keeps Messwerte.mdb-wal and -shm while the file is open. A file on a
-- network share needs "PRAGMA journal_mode = DELETE" instead.
PRAGMA journal_mode = WAL;

-- Settings: rows with Parameter 'MessIntervall' (seconds between two polling passes, default 2)
-- and 'Messungen' (passes per stored average, default 5); optionally 'ParallelAbfrage' (n >= 1:
-- fetch all devices at once, waiting at most n seconds; default 0, one after the other). The
-- names are matched exactly.
CREATE TABLE Einstellungen (
    Parameter TEXT,
    Wert      NUMERIC
);

-- Devices. Sensors name their device by its position in this table (1 = the first row
-- inserted), not by ID. Do not declare ID as INTEGER PRIMARY KEY: SQLite then orders the rows by
-- ID instead of by insertion, and the positions change with the IDs. IP is what stands between "http://" and "/xml", a port may follow
-- ("192.168.1.20:8080"). At most 50 rows.
CREATE TABLE Geraete (
    ID          INTEGER NOT NULL,
    IP          TEXT    NOT NULL,
    Bezeichnung TEXT    NOT NULL
);

-- Sensors: ID is the number stored in Werte; Geraet the device's position in Geraete; the
-- reading of Anschluss N is the element <tN> of the device's page. At most 99 rows.
CREATE TABLE Sensoren (
    ID          INTEGER NOT NULL,
    Geraet      INTEGER NOT NULL,
    Anschluss   INTEGER NOT NULL,
    Bezeichnung TEXT    NOT NULL
);

-- Stored averages, one row per sensor and store; Zeit is local time, 'YYYY-MM-DD HH:MM:SS'.
CREATE TABLE Werte (
    SensorNummer INTEGER,
    Zeit         DATETIME,
    MessWert     REAL
);

-- Limits of the stored averages, for the alerts (see the README): an average above Maximum or
-- below Minimum starts an alert, one back inside ends it. Either limit may be NULL. Optional:
-- without this table, or empty, there are no limits. Read only when an Alarm row is set.
CREATE TABLE Grenzwerte (
    SensorNummer INTEGER NOT NULL,
    Minimum      REAL,
    Maximum      REAL
);

-- For the status page's charts and exports: one sensor's range is read from this index alone,
-- in time order. A file made without it works too, only its charts are read slowly; the same
-- statement adds it later (it takes a while on a large table, and stores wait meanwhile).
CREATE INDEX WerteSensorZeit ON Werte (SensorNummer, Zeit, MessWert);

INSERT INTO Einstellungen (Parameter, Wert) VALUES ('MessIntervall', 2);
INSERT INTO Einstellungen (Parameter, Wert) VALUES ('Messungen', 5);
