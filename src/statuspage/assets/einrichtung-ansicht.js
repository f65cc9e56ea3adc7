// The setup form drawn from its state: every input writes back into the state as it is typed,
// and carries the name of its field as the server names faults ("Geraete[2].IP"), counted in the
// lists the form sends. Names are only ever set as text or values, never as markup.
import { el, zahl } from './format.js';

function feld(beschriftung, wert, feldName, schreiben, { klasse, nurLesen } = {}) {
  const eingabe = el('input', { klasse });
  eingabe.value = wert === null || wert === undefined ? '' : String(wert);
  if (feldName) {
    eingabe.dataset.feld = feldName;
  }
  eingabe.spellcheck = false;
  eingabe.autocomplete = 'off';
  eingabe.readOnly = Boolean(nurLesen);
  eingabe.addEventListener('input', () => schreiben(eingabe.value, eingabe));
  return el('label', { text: beschriftung }, eingabe);
}

function knopf(text, klick, daten = {}) {
  const element = el('button', { text });
  element.type = 'button';
  Object.assign(element.dataset, daten);
  element.addEventListener('click', klick);
  return element;
}

// What a fetch of the device found, in one line.
export function pruefungText(antwort) {
  if (!antwort.zaehlt) {
    return `Die Seite zählt nicht: ${antwort.text} (${antwort.grund}).`;
  }
  const elemente = antwort.elemente.map((e) => `t${e.anschluss} = ${e.wert === null ? 'keine Messung' : zahl(e.wert)}`);
  return `Die Seite zählt, <ntpsync> ist da. ${elemente.length ? elemente.join(', ') : 'Kein Element <tN>.'}`;
}

function grenzeZeile(zustand, nummer, anlegen) {
  let index = zustand.grenzwerte.findIndex((g) => String(g.SensorNummer) === String(nummer));
  if (index < 0 && anlegen) {
    zustand.grenzwerte.push({ SensorNummer: Number(nummer), Minimum: null, Maximum: null });
    index = zustand.grenzwerte.length - 1;
  }
  return index;
}

function sensorZeile(zustand, sensor, index, neuZeichnen) {
  const zellen = [
    el('td', {}, feld('Nr.', sensor.ID, `Sensoren[${index}].ID`, (w) => { sensor.ID = w; }, { klasse: 'nummer' })),
    el('td', {}, feld('Bezeichnung', sensor.Bezeichnung, `Sensoren[${index}].Bezeichnung`, (w) => { sensor.Bezeichnung = w; })),
    el('td', {}, feld('Element t', sensor.Anschluss, `Sensoren[${index}].Anschluss`, (w) => { sensor.Anschluss = w; }, { klasse: 'nummer' })),
  ];
  if (zustand.grenzwerte) {
    for (const spalte of ['Minimum', 'Maximum']) {
      const zeile = grenzeZeile(zustand, sensor.ID, false);
      const wert = zeile >= 0 ? zustand.grenzwerte[zeile][spalte] : null;
      zellen.push(el('td', {}, feld(spalte, wert, zeile >= 0 ? `Grenzwerte[${zeile}].${spalte}` : null, (w, eingabe) => {
        const neu = grenzeZeile(zustand, sensor.ID, true);
        zustand.grenzwerte[neu][spalte] = w;
        eingabe.dataset.feld = `Grenzwerte[${neu}].${spalte}`;
      }, { klasse: 'nummer' })));
    }
  }
  zellen.push(el('td', {}, knopf('Sensor entfernen', () => {
    zustand.sensoren.splice(index, 1);
    neuZeichnen();
  }, { sensorEntfernen: String(index) })));
  return el('tr', {}, ...zellen);
}

function geraetBlock(zustand, geraet, index, aktionen) {
  const pruefung = el('p', { klasse: 'hinweis', text: geraet.pruefung ? pruefungText(geraet.pruefung) : '' });
  const felder = el('div', { klasse: 'felder' },
    feld('Bezeichnung', geraet.Bezeichnung, `Geraete[${index}].Bezeichnung`, (w) => { geraet.Bezeichnung = w; }),
    feld('Adresse', geraet.IP, `Geraete[${index}].IP`, (w) => { geraet.IP = w; }),
    feld('Nr.', geraet.ID, `Geraete[${index}].ID`, (w) => { geraet.ID = w; }, { klasse: 'nummer' }),
    knopf('Adresse prüfen', () => aktionen.pruefen(geraet)),
    knopf('Gerät entfernen', () => {
      zustand.geraete.splice(index, 1);
      zustand.sensoren = zustand.sensoren.filter((s) => s.Geraet !== geraet.schluessel);
      aktionen.neuZeichnen();
    }, { geraetEntfernen: String(index) }));
  const zeilen = [];
  zustand.sensoren.forEach((sensor, i) => {
    if (sensor.Geraet === geraet.schluessel) {
      zeilen.push(sensorZeile(zustand, sensor, i, aktionen.neuZeichnen));
    }
  });
  const sensoren = zeilen.length
    ? el('div', { klasse: 'tabelle' }, el('table', {}, el('tbody', {}, ...zeilen)))
    : el('p', { klasse: 'leise', text: 'Keine Sensoren.' });
  return el('fieldset', { klasse: 'geraet' },
    el('legend', { text: `Gerät an Position ${index + 1}` }), felder, pruefung, sensoren);
}

function einstellungZeile(zustand, zeile, index, neuZeichnen) {
  const datei = zustand.dateiZeilen.includes(zeile.Parameter) && zeile.geladen;
  const name = feld('Name', zeile.Parameter, `Einstellungen[${index}].Parameter`, (w) => { zeile.Parameter = w; }, { nurLesen: zeile.geladen });
  name.querySelector('input').setAttribute('list', 'einstellung-namen');
  return el('tr', {},
    el('td', {}, name),
    el('td', {}, feld('Wert', zeile.Wert, `Einstellungen[${index}].Wert`, (w) => { zeile.Wert = w; }, { nurLesen: datei })),
    el('td', {}, datei ? el('span', { klasse: 'leise', text: 'nennt eine Datei' })
      : knopf('Entfernen', () => { zustand.einstellungen.splice(index, 1); neuZeichnen(); })));
}

// Sensors whose position names no device read nothing; they are shown so that they can go.
function ohneGeraet(zustand, neuZeichnen) {
  const schluessel = new Set(zustand.geraete.map((g) => g.schluessel));
  const zeilen = [];
  zustand.sensoren.forEach((sensor, i) => {
    if (!schluessel.has(sensor.Geraet)) {
      zeilen.push(sensorZeile(zustand, sensor, i, neuZeichnen));
    }
  });
  return zeilen.length ? [el('fieldset', { klasse: 'geraet' },
    el('legend', { text: 'Sensoren, deren Position kein Gerät nennt' }),
    el('p', { klasse: 'hinweis', text: 'Sie lesen nichts; vor dem Speichern entfernen.' }),
    el('div', { klasse: 'tabelle' }, el('table', {}, el('tbody', {}, ...zeilen))))] : [];
}

export function zeichnen(zustand, aktionen) {
  document.getElementById('geraete').replaceChildren(
    ...zustand.geraete.map((g, i) => geraetBlock(zustand, g, i, aktionen)),
    ...ohneGeraet(zustand, aktionen.neuZeichnen));
  document.querySelector('#einstellungen tbody').replaceChildren(
    ...zustand.einstellungen.map((z, i) => einstellungZeile(zustand, z, i, aktionen.neuZeichnen)));
}

// The faults of a refused save beside their fields; those without a field in the message line.
export function fehlerZeigen(fehler) {
  for (const alt of document.querySelectorAll('.feldfehler')) {
    alt.remove();
  }
  for (const alt of document.querySelectorAll('input.falsch')) {
    alt.classList.remove('falsch');
  }
  const ohneFeld = [];
  for (const { feld: name, text } of fehler || []) {
    const eingabe = [...document.querySelectorAll('input[data-feld]')].find((e) => e.dataset.feld === name);
    if (eingabe) {
      eingabe.classList.add('falsch');
      eingabe.setAttribute('aria-invalid', 'true');
      eingabe.closest('label').append(el('span', { klasse: 'feldfehler', text }));
    } else {
      ohneFeld.push(text);
    }
  }
  return ohneFeld;
}
