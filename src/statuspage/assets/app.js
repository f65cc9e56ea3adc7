// The status page: asks for the state every second and shows it when it has changed (the server
// answers 304 until the next pass). A poll rather than a held connection: it passes any proxy,
// holds no connection of the program's few, and picks up again by itself after a restart.
import { Verlauf } from './chart.js';
import { seitenAdresse } from './format.js';
import { zeigeStatus } from './status.js';

const ABSTAND_MS = 1000;
const verbindung = document.getElementById('verbindung');
let verlauf = null;
let etag = null;

async function abfragen() {
  try {
    const antwort = await fetch(seitenAdresse('api/status'), {
      cache: 'no-store',
      headers: etag ? { 'If-None-Match': etag } : {},
    });
    if (antwort.status === 200) {
      etag = antwort.headers.get('ETag');
      const status = await antwort.json();
      zeigeStatus(status);
      if (verlauf === null) {
        verlauf = new Verlauf(status);
      } else {
        verlauf.statusNeu(status);
      }
    } else if (antwort.status !== 304) {
      throw new Error(`HTTP ${antwort.status}`);
    }
    verbindung.textContent = 'aktualisiert sich nach jedem Durchgang';
  } catch (fehler) {
    verbindung.textContent = `keine Verbindung zum Programm (${fehler.message}), neuer Versuch …`;
  }
  setTimeout(abfragen, ABSTAND_MS);
}

abfragen();
