-- The demo configuration run.sh puts into a new build/Messwerte.mdb: four devices on loopback,
-- served by pelvaro-devicesim (the fourth one refuses connections), a poll every 2 seconds and
-- an average every 5 polls.
INSERT INTO Geraete (ID, IP, Bezeichnung) VALUES
    (1, '127.0.0.1:18081', 'Heizraum'),
    (2, '127.0.0.1:18082', 'Wohnhaus'),
    (3, '127.0.0.1:18083', 'Gewächshaus'),
    (4, '127.0.0.1:18084', 'Dachboden (ausgeschaltet)');
INSERT INTO Sensoren (ID, Geraet, Anschluss, Bezeichnung) VALUES
    (101, 1, 1, 'Vorlauf'),
    (102, 1, 2, 'Rücklauf'),
    (201, 2, 1, 'Wohnzimmer'),
    (202, 2, 2, 'Keller'),
    (203, 2, 3, 'Außen'),
    (301, 3, 1, 'Luft'),
    (302, 3, 3, 'Boden'),
    (401, 4, 1, 'Dachboden');
