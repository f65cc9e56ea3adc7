-- Creates an empty Messwerte.mdb (an SQLite file) with the tables the program uses:
--   sqlite3 Messwerte.mdb < docs/schema.sql
-- The program reads Einstellungen, Geraete and Sensoren once at start-up and appends to Werte.
-- Table and column names are matched without regard to case; further columns are ignored.

-- A write-ahead log: a store then syncs the disk once instead of three or four times (on an SD
-- card each sync can take half a second) and readers never wait for a store. It stays with the
-- file; beside it SQLite keeps Messwerte.mdb-wal and -shm while the file is open. A file on a
-- network share needs "PRAGMA journal_mode = DELETE" instead.
--
-- Pages of 1 KiB instead of 4: a store changes a few pages at the end of Werte, of its index and
-- of Stundenwerte, and each changed page goes whole into the log and later into the file, so
-- small pages write a quarter as much (about 30 kB a store of 90 rows instead of over 50). It
-- must come before the first table.
PRAGMA page_size = 1024;
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

-- For the status page's charts and exports: a range of time is read from this index alone. It is
-- ordered by time first, so that a store appends to its end and touches a page or two of it,
-- whatever the number of sensors (an index ordered by sensor first touches one page per sensor,
-- a megabyte and more written per store on a large file).
CREATE INDEX WerteZeit ON Werte (Zeit, SensorNummer, MessWert);

-- Per sensor and hour of Zeit (its text, so the hour that repeats when the clocks go back is one
-- hour here too): the number of rows of Werte, their smallest and largest MessWert and their sum.
-- Each store updates it in its own transaction, and the program checks it against Werte between
-- passes; long charts read it instead of Werte. Optional: a file without it works as before, its
-- long charts only slower. With the row 'Aufbewahrung' in Einstellungen it holds the only figures
-- of the hours deleted from Werte: do not drop it then.
CREATE TABLE Stundenwerte (
    Stunde       DATETIME NOT NULL,
    SensorNummer INTEGER  NOT NULL,
    Anzahl       INTEGER  NOT NULL,
    Minimum      REAL     NOT NULL,
    Summe        REAL     NOT NULL,
    Maximum      REAL     NOT NULL,
    PRIMARY KEY (SensorNummer, Stunde)
) WITHOUT ROWID;

INSERT INTO Einstellungen (Parameter, Wert) VALUES ('MessIntervall', 2);
INSERT INTO Einstellungen (Parameter, Wert) VALUES ('Messungen', 5);
