// The upper part of the page from /api/status: summary, devices, sensors, log, footer.
import { dauerText, el, zahl, zeitElement, zeitText } from './format.js';

const $ = (id) => document.getElementById(id);

function karte(id, zustand, wert, ...text) {
  const karte = $(id);
  karte.className = `karte ${zustand}`;
  karte.querySelector('.wert').textContent = wert;
  karte.querySelector('.text').replaceChildren(...text);
}

function uebersicht(status, heute) {
  const geraete = status.geraete;
  const stumm = geraete.filter((g) => g.antwortet === false);
  if (status.durchgaenge === 0) {
    karte('karte-geraete', '', 'noch kein Durchgang', `${geraete.length} Geräte eingerichtet`);
  } else {
    karte('karte-geraete', stumm.length === 0 ? 'ok' : 'fehler',
      `${geraete.length - stumm.length} von ${geraete.length} antworten`,
      stumm.length === 0 ? 'alle Geräte antworten'
        : 'ohne Antwort: ' + stumm.map((g) => g.bezeichnung).join(', '));
  }

  const speicher = status.speicher;
  const gespeichert = status.sensoren.map((s) => s.gespeichert?.zeit).filter(Boolean).sort().pop();
  if (speicher.ok) {
    karte('karte-speicher', speicher.wartend > 0 ? 'warnung' : 'ok', 'funktioniert',
      gespeichert ? 'zuletzt um ' : 'noch nichts gespeichert',
      gespeichert ? zeitElement(gespeichert, heute) : '',
      speicher.wartend > 0 ? ` · ${speicher.wartend} Messwerte warten` : '');
  } else {
    karte('karte-speicher', 'fehler', 'schlägt fehl',
      speicher.fehlerSeit ? 'seit ' : '', speicher.fehlerSeit ? zeitElement(speicher.fehlerSeit, heute) : '',
      `${speicher.fehlerSeit ? ': ' : ''}${speicher.fehler} · ${speicher.wartend} Messwerte warten`
      + (speicher.verworfen > 0 ? `, ${speicher.verworfen} verworfen` : ''));
  }

  const letzter = status.letzterDurchgang;
  karte('karte-durchgang', status.gesund.ok ? 'ok' : 'fehler',
    letzter ? zeitText(letzter.ende, heute) : '–',
    letzter ? `Dauer ${zahl(Math.round(letzter.dauerSekunden * 1000))} ms · ` : '',
    `alle ${status.messIntervall} s, Mittel aus ${status.messungen} · ${status.durchgaenge} Durchgänge`);

  const gesundheit = $('gesundheit');
  gesundheit.hidden = status.gesund.ok;
  gesundheit.textContent = status.gesund.grund ?? '';
  const konfiguration = $('konfiguration');
  const neu = status.konfiguration;
  konfiguration.hidden = !neu.ausstehend && !neu.problem;
  konfiguration.classList.toggle('fehler', Boolean(neu.problem));
  konfiguration.textContent = neu.problem
    ? `Die neu gelesene Konfiguration ist nicht übernommen: ${neu.problem}`
    : 'Eine neu gelesene Konfiguration gilt ab der nächsten Speicherung.';
}

// A row whose cells carry their column's name, which a phone shows before each value.
function zeile(tabelle, ...zellen) {
  const namen = [...document.querySelectorAll(`#${tabelle} thead th`)].map((th) => th.textContent);
  zellen.forEach((zelle, i) => { zelle.dataset.spalte = namen[i]; });
  return el('tr', {}, ...zellen);
}

function geraeteZeilen(status, heute) {
  return status.geraete.map((g) => {
    let zustand;
    if (g.antwortet === null) {
      zustand = el('span', { text: 'noch nicht abgefragt', klasse: 'leise' });
    } else if (g.antwortet) {
      zustand = el('span', { text: 'antwortet', klasse: 'gut' });
    } else {
      zustand = el('span', { klasse: 'schlecht', text: 'seit ' },
        zeitElement(g.fehlerSeit, heute), ` keine Antwort (${g.fehlerText})`,
        el('small', {
          text: `${g.fehlerInFolge} ${g.fehlerInFolge === 1 ? 'Durchgang' : 'Durchgänge'} in Folge`,
        }));
    }
    return zeile('geraete', el('td', { text: g.bezeichnung }), el('td', { text: g.adresse }),
      el('td', {}, zustand), el('td', {}, zeitElement(g.letzterErfolg, heute)));
  });
}

function sensorZeilen(status, heute) {
  const geraet = (position) => status.geraete[position - 1]?.bezeichnung ?? '–';
  return status.sensoren.map((s) => {
    const mittel = s.mittelwert === null ? el('td', { text: '–', klasse: 'zahl' })
      : el('td', { text: zahl(s.mittelwert), klasse: 'zahl' },
        el('small', { text: `${s.messungenImMittel} von ${status.messungen}` }));
    return zeile('sensoren',
      el('td', { text: String(s.nummer), klasse: 'zahl' }),
      el('td', { text: s.bezeichnung }),
      el('td', { text: geraet(s.geraet) }),
      el('td', { text: zahl(s.messwert), klasse: 'zahl messwert' }),
      el('td', {}, zeitElement(s.gemessen, heute)),
      mittel,
      el('td', { text: zahl(s.gespeichert?.wert), klasse: 'zahl' }),
      el('td', {}, zeitElement(s.gespeichert?.zeit, heute)));
  });
}

// Bytes as a person reads them: 1 kB = 1000 bytes, one decimal below ten.
function bytesText(bytes) {
  const einheiten = ['Bytes', 'kB', 'MB', 'GB', 'TB'];
  let wert = bytes;
  let i = 0;
  while (wert >= 1000 && i < einheiten.length - 1) {
    wert /= 1000;
    i += 1;
  }
  const gerundet = i > 0 && wert < 10 ? Math.round(wert * 10) / 10 : Math.round(wert);
  return `${gerundet.toLocaleString('de-DE')} ${einheiten[i]}`;
}

// The database's size, rows, oldest row and what the program writes, in one line.
function bestandText(stand, heute) {
  const teile = [stand.groesse === null ? 'Größe unbekannt' : bytesText(stand.groesse)];
  if (stand.zeilen !== null) {
    teile.push(`${stand.zeilenGeschaetzt ? 'etwa ' : ''}${stand.zeilen.toLocaleString('de-DE')} Zeilen in Werte`);
  }
  if (stand.aeltesteZeit !== null) {
    teile.push(`die älteste von ${zeitText(stand.aeltesteZeit, heute)}`);
  }
  const rate = stand.schreibrate;
  if (rate === 'unbekannt') {
    teile.push('Schreibrate unbekannt');
  } else {
    teile.push(`schreibt ${bytesText(rate.bytesJeSpeicherung)} je Speicherung`
      + (rate.bytesJeTag === null ? '' : `, ${bytesText(rate.bytesJeTag)} am Tag`));
  }
  return teile.join(' · ');
}

export function zeigeStatus(status) {
  const heute = status.jetzt.slice(0, 10);
  $('jetzt').textContent = zeitText(status.jetzt, heute);
  $('jetzt').dateTime = status.jetzt;
  uebersicht(status, heute);
  $('geraete').tBodies[0].replaceChildren(...geraeteZeilen(status, heute));
  $('sensoren').tBodies[0].replaceChildren(...sensorZeilen(status, heute));

  const alarme = $('alarme');
  alarme.hidden = status.alarme.length === 0 && status.unzustellbareAlarme === 0;
  alarme.replaceChildren(...status.alarme.map((a) => el('li', {}, zeitElement(a.seit, heute), ` ${a.text}`)));
  if (status.unzustellbareAlarme > 0) {
    alarme.append(el('li', { text: `${status.unzustellbareAlarme} Alarmmeldungen konnten nicht zugestellt werden.` }));
  }

  $('protokoll').textContent = status.letzterDurchgang?.protokoll ?? 'Noch kein Durchgang.';
  $('version').textContent = status.version;
  $('datenbank').textContent = status.datenbank;
  $('datenbank-stand').textContent = bestandText(status.datenbankStand, heute);
  $('gestartet').textContent = zeitText(status.gestartet, heute);
  $('gestartet').dateTime = status.gestartet;
  $('laufzeit').textContent = `läuft seit ${dauerText(status.laufzeitSekunden)}`;

  $('index-hinweis').hidden = status.index.zustand !== 'fehlt';
  $('index-anweisung').textContent = status.index.anweisung;
}
