// The setup part: loads the configuration with a token for changes, keeps every edit in the page
// until "Speichern", and sends the whole form at once; the server checks it, writes it in one
// transaction and names the fields it refuses.
import { el, seitenAdresse, zahl } from './format.js';
import { fehlerZeigen, pruefungText, zeichnen } from './einrichtung-ansicht.js';

const meldung = document.getElementById('meldung');
let zustand = null;
let schluessel = 0;

function melden(text, art = '') {
  meldung.textContent = text;
  meldung.className = `meldung ${art}`;
  meldung.hidden = !text;
}

async function anfrage(pfad, inhalt) {
  const antwort = await fetch(seitenAdresse(pfad), inhalt === undefined ? { cache: 'no-store' } : {
    method: 'POST',
    cache: 'no-store',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ token: zustand?.token, ...inhalt }),
  });
  let json = {};
  try {
    json = await antwort.json();
  } catch {
    json = { meldung: `HTTP ${antwort.status}` };
  }
  return { status: antwort.status, json };
}

// A value as typed: a number stays a number, anything else is text.
function alsWert(text) {
  if (text === null || typeof text === 'number') {
    return text;
  }
  return /^\s*-?\d+(\.\d+)?\s*$/.test(text) ? Number(text) : text;
}

function naechsteNummer(nummern) {
  return nummern.reduce((hoechste, n) => Math.max(hoechste, Number(n) || 0), 0) + 1;
}

const aktionen = {
  neuZeichnen: () => zeichnen(zustand, aktionen),
  pruefen: async (geraet) => {
    geraet.pruefung = { zaehlt: false, text: 'wird geprüft …', grund: '…', elemente: [] };
    aktionen.neuZeichnen();
    const { status, json } = await anfrage('api/einrichtung/pruefen', { adresse: geraet.IP });
    geraet.pruefung = status === 200 ? json : { zaehlt: false, text: json.meldung, grund: `HTTP ${status}`, elemente: [] };
    aktionen.neuZeichnen();
  },
};

function alsZustand(json) {
  const dokument = json.dokument;
  return {
    token: json.token,
    stand: json.stand,
    dateiZeilen: json.dateiZeilen,
    einstellungen: dokument.Einstellungen.map((z) => ({ ...z, geladen: true })),
    geraete: dokument.Geraete.map((g, i) => ({ ...g, schluessel: `p${i + 1}`, pruefung: null })),
    sensoren: dokument.Sensoren.map((s) => ({ ...s, Geraet: `p${s.Geraet}`, neu: false })),
    grenzwerte: dokument.Grenzwerte ? dokument.Grenzwerte.map((g) => ({ ...g })) : null,
  };
}

async function laden() {
  const { status, json } = await anfrage('api/einrichtung');
  if (status !== 200) {
    document.getElementById('einrichtung').hidden = true;
    melden(json.meldung, json.aus ? 'warnung' : 'fehler');
    return false;
  }
  zustand = alsZustand(json);
  document.getElementById('neu-ergebnis').replaceChildren();
  aktionen.neuZeichnen();
  document.getElementById('einrichtung').hidden = false;
  if (json.problem) {
    melden(`Die Konfiguration in der Datenbank wird nicht genommen: ${json.problem}`, 'fehler');
  }
  return true;
}

// The elements of a fetched device, to tick, name and number before they go into the form.
function neuesGeraetZeigen(adresse, antwort) {
  const ziel = document.getElementById('neu-ergebnis');
  const text = el('p', { klasse: antwort.zaehlt ? 'meldung' : 'meldung fehler', text: pruefungText(antwort) });
  if (!antwort.zaehlt) {
    ziel.replaceChildren(text);
    return;
  }
  const name = el('input');
  name.value = `Gerät ${adresse}`;
  name.id = 'neu-bezeichnung';
  const nummer = el('input', { klasse: 'nummer' });
  nummer.value = String(naechsteNummer(zustand.geraete.map((g) => g.ID)));
  const zeilen = antwort.elemente.map((element) => {
    const behalten = el('input');
    behalten.type = 'checkbox';
    behalten.dataset.anschluss = String(element.anschluss);
    const sensorName = el('input');
    sensorName.value = `t${element.anschluss}`;
    sensorName.dataset.neuName = String(element.anschluss);
    const sensorNummer = el('input', { klasse: 'nummer' });
    sensorNummer.dataset.neuNummer = String(element.anschluss);
    return { element, behalten, sensorName, sensorNummer, zeile: el('tr', {},
      el('td', {}, el('label', { text: `t${element.anschluss} behalten ` }, behalten)),
      el('td', { klasse: 'zahl', text: element.wert === null ? 'keine Messung' : zahl(element.wert) }),
      el('td', { klasse: 'leise', text: element.steht }),
      el('td', {}, el('label', { text: 'Bezeichnung ' }, sensorName)),
      el('td', {}, el('label', { text: 'Nr. ' }, sensorNummer))) };
  });
  // The next free numbers for the ticked elements, in their order, until the user types one.
  const vorschlagen = () => {
    let naechste = naechsteNummer(zustand.sensoren.map((s) => s.ID));
    for (const z of zeilen) {
      if (!z.sensorNummer.dataset.getippt) {
        z.sensorNummer.value = z.behalten.checked ? String(naechste++) : '';
      } else if (z.behalten.checked) {
        naechste = Math.max(naechste, Number(z.sensorNummer.value) + 1);
      }
    }
  };
  for (const z of zeilen) {
    z.behalten.addEventListener('change', vorschlagen);
    z.sensorNummer.addEventListener('input', () => { z.sensorNummer.dataset.getippt = '1'; });
  }
  const hinzufuegen = el('button', { text: 'Ins Formular übernehmen' });
  hinzufuegen.type = 'button';
  hinzufuegen.id = 'neu-uebernehmen';
  hinzufuegen.addEventListener('click', () => {
    const key = `n${++schluessel}`;
    zustand.geraete.push({ schluessel: key, ID: nummer.value, IP: adresse, Bezeichnung: name.value, pruefung: antwort });
    for (const z of zeilen.filter((z) => z.behalten.checked)) {
      zustand.sensoren.push({ ID: z.sensorNummer.value, Geraet: key, Anschluss: z.element.anschluss, Bezeichnung: z.sensorName.value, neu: true });
    }
    ziel.replaceChildren(el('p', { klasse: 'meldung', text: 'Übernommen; es ist gespeichert, sobald „Speichern“ gedrückt ist.' }));
    document.getElementById('neu-adresse').value = '';
    aktionen.neuZeichnen();
  });
  ziel.replaceChildren(text,
    el('div', { klasse: 'felder' }, el('label', { text: 'Bezeichnung des Geräts' }, name), el('label', { text: 'Nr. des Geräts' }, nummer)),
    el('div', { klasse: 'tabelle' }, el('table', {}, el('tbody', {}, ...zeilen.map((z) => z.zeile)))),
    el('p', {}, hinzufuegen));
}

function formular() {
  const liste = {
    Einstellungen: zustand.einstellungen.map(({ Parameter, Wert }) => ({ Parameter, Wert: alsWert(Wert) })),
    Geraete: zustand.geraete.map(({ schluessel: s, ID, IP, Bezeichnung }) => ({ schluessel: s, ID, IP, Bezeichnung })),
    Sensoren: zustand.sensoren.map(({ ID, Geraet, Anschluss, Bezeichnung, neu }) => ({ ID, Geraet, Anschluss, Bezeichnung, neu })),
  };
  if (zustand.grenzwerte) {
    liste.Grenzwerte = zustand.grenzwerte;
  }
  return liste;
}

// After a save: the program takes the new configuration at its next store.
async function aufUebernahmeWarten() {
  for (let versuch = 0; versuch < 600; ++versuch) {
    const { status, json } = await anfrage('api/status');
    if (status === 200 && !json.konfiguration?.ausstehend) {
      melden(json.konfiguration?.problem
        ? `Nicht übernommen: ${json.konfiguration.problem}`
        : 'Gespeichert und übernommen: das Programm fragt jetzt so ab.', json.konfiguration?.problem ? 'fehler' : '');
      return;
    }
    await new Promise((weiter) => { setTimeout(weiter, 1000); });
  }
}

async function senden(pfad, inhalt) {
  melden('wird gespeichert …');
  const { status, json } = await anfrage(pfad, { stand: zustand.stand, ...inhalt });
  if (status === 200) {
    await laden();
    melden(json.meldung);
    aufUebernahmeWarten();
    return;
  }
  const ohneFeld = fehlerZeigen(json.fehler);
  melden([json.meldung, ...ohneFeld].filter(Boolean).join(' '), 'fehler');
}

document.getElementById('neu').addEventListener('submit', async (ereignis) => {
  ereignis.preventDefault();
  const adresse = document.getElementById('neu-adresse').value.trim();
  document.getElementById('neu-ergebnis').replaceChildren(el('p', { klasse: 'leise', text: `${adresse} wird abgefragt …` }));
  const { status, json } = await anfrage('api/einrichtung/pruefen', { adresse });
  if (status === 200) {
    neuesGeraetZeigen(adresse, json);
  } else {
    fehlerZeigen(json.fehler);
    document.getElementById('neu-ergebnis').replaceChildren(el('p', { klasse: 'meldung fehler', text: json.meldung }));
  }
});
document.getElementById('speichern').addEventListener('click', () => senden('api/einrichtung', { formular: formular() }));
document.getElementById('verwerfen').addEventListener('click', () => { laden(); melden(''); });
document.getElementById('einstellung-neu').addEventListener('click', () => {
  zustand.einstellungen.push({ Parameter: '', Wert: '', geladen: false });
  aktionen.neuZeichnen();
});
document.getElementById('hochladen').addEventListener('change', async (ereignis) => {
  const datei = ereignis.target.files[0];
  if (!datei) {
    return;
  }
  let dokument;
  try {
    dokument = JSON.parse(await datei.text());
  } catch (fehler) {
    melden(`${datei.name} ist kein JSON: ${fehler.message}`, 'fehler');
    return;
  }
  await senden('api/einrichtung/dokument', { dokument });
  ereignis.target.value = '';
});

laden().catch((fehler) => melden(`Die Einrichtung ist nicht zu laden: ${fehler.message}`, 'fehler'));
