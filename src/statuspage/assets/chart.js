// The trend charts of the stored averages: one sensor (its mean with the band from minimum to
// maximum) or every sensor of one device (their means), over a preset or a chosen range. The
// server reduces a long range to about one bucket per pixel; dragging zooms in, which fetches
// the finer data of the new range, and a double click goes back.
import { alsIso, alsSekunden, seitenAdresse, zahl, zeitText } from './format.js';

// uPlot's minified build, loaded by the page before its modules (index.html).
const { uPlot } = globalThis;

const $ = (id) => document.getElementById(id);
const HOEHE = 320;
const KUERZESTER_AUSSCHNITT = 60;

// The times are the program's local time as written, put on the axis as if they were UTC and
// shown in Etc/UTC: the hour that repeats when the clocks go back then lies on itself, so the
// axis never runs backwards and no chart breaks.
const utc = (sekunden) => uPlot.tzDate(new Date(sekunden * 1000), 'Etc/UTC');
const farbe = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();

// German names and 24-hour times on the time axis: for each tick spacing the label and, where
// the day (or year) changes, the date below it.
const NAMEN = {
  MMMM: ['Januar', 'Februar', 'März', 'April', 'Mai', 'Juni', 'Juli', 'August', 'September',
    'Oktober', 'November', 'Dezember'],
  MMM: ['Jan', 'Feb', 'Mär', 'Apr', 'Mai', 'Jun', 'Jul', 'Aug', 'Sep', 'Okt', 'Nov', 'Dez'],
  WWWW: ['Sonntag', 'Montag', 'Dienstag', 'Mittwoch', 'Donnerstag', 'Freitag', 'Samstag'],
  WWW: ['So', 'Mo', 'Di', 'Mi', 'Do', 'Fr', 'Sa'],
};
const ZEITACHSE = [
  [3600 * 24 * 365, '{YYYY}', null, null, null, null, null, null, 1],
  [3600 * 24 * 28, '{MMM}', '\n{YYYY}', null, null, null, null, null, 1],
  [3600 * 24, '{D}.{M}.', '\n{YYYY}', null, null, null, null, null, 1],
  [3600, '{HH}:{mm}', '\n{D}.{M}.{YYYY}', null, '\n{D}.{M}.', null, null, null, 1],
  [60, '{HH}:{mm}', '\n{D}.{M}.{YYYY}', null, '\n{D}.{M}.', null, null, null, 1],
  [1, '{HH}:{mm}:{ss}', '\n{D}.{M}.{YYYY}', null, '\n{D}.{M}.', null, null, null, 1],
];

// A range given in the page's address, "#von=2016-01-01T00:00&bis=2026-12-31T23:59", so that a
// chart can be bookmarked or sent; null without one.
function zeitraumAusAdresse() {
  const teile = new URLSearchParams(globalThis.location.hash.slice(1));
  const sekunden = (text) => alsSekunden(text.length === 16 ? `${text}:00` : text);
  const von = sekunden(teile.get('von') ?? '');
  const bis = sekunden(teile.get('bis') ?? '');
  return Number.isFinite(von) && Number.isFinite(bis) && von < bis ? [von, bis] : null;
}

function letzteSpeicherung(status) {
  return status.sensoren.map((s) => s.gespeichert?.zeit ?? '').sort().pop() ?? '';
}

// The points of a series with a null where the logger was quiet for a while, so the line breaks
// there instead of bridging the gap.
function mitLuecken(reihe, felder) {
  const x = reihe.zeit.map(alsSekunden);
  const abstaende = x.slice(1).map((t, i) => t - x[i]).sort((a, b) => a - b);
  const ueblich = abstaende.length > 0 ? abstaende[Math.floor(abstaende.length / 2)] : 0;
  const grenze = 3 * Math.max(reihe.sekundenJePunkt, ueblich);
  const aus = { x: [] };
  felder.forEach((feld) => { aus[feld] = []; });
  x.forEach((t, i) => {
    if (i > 0 && t - x[i - 1] > grenze) {
      aus.x.push((t + x[i - 1]) / 2);
      felder.forEach((feld) => aus[feld].push(null));
    }
    aus.x.push(t);
    felder.forEach((feld) => aus[feld].push(reihe[feld][i]));
  });
  return aus;
}

export class Verlauf {
  constructor(status) {
    this.status = status;
    this.diagramm = $('diagramm');
    this.plot = null;
    this.zeitraum = zeitraumAusAdresse();
    this.stunden = this.zeitraum ? null : 24;
    this.zurueck = [];
    this.ladung = 0;
    this.gespeichert = letzteSpeicherung(status);
    this.auswahlFuellen();
    this.bedienungVerbinden();
    this.laden();
    new ResizeObserver(() => this.plot?.setSize({ width: this.breite(), height: HOEHE }))
      .observe(this.diagramm);
  }

  // After every pass: a chart of the last hours follows new stores.
  statusNeu(status) {
    this.status = status;
    const gespeichert = letzteSpeicherung(status);
    if (gespeichert !== this.gespeichert && this.stunden !== null) {
      this.gespeichert = gespeichert;
      this.laden();
    }
  }

  auswahlFuellen() {
    const geraete = document.createElement('optgroup');
    geraete.label = 'Geräte (Mittelwerte aller Sensoren)';
    this.status.geraete.forEach((g) => {
      if (this.status.sensoren.some((s) => s.geraet === g.position)) {
        geraete.append(new Option(g.bezeichnung, `g${g.position}`));
      }
    });
    const sensoren = document.createElement('optgroup');
    sensoren.label = 'Sensoren (Mittel, Minimum und Maximum)';
    this.status.sensoren.forEach((s) => sensoren.append(new Option(`${s.bezeichnung} (${s.nummer})`, `s${s.nummer}`)));
    $('reihe').replaceChildren(geraete, sensoren);
  }

  bedienungVerbinden() {
    $('reihe').addEventListener('change', () => { this.zurueck = []; this.laden(); });
    document.querySelectorAll('[data-stunden]').forEach((knopf) => knopf.addEventListener('click', () => {
      this.stunden = Number(knopf.dataset.stunden);
      this.zeitraum = null;
      this.zurueck = [];
      this.laden();
    }));
    $('auswahl').addEventListener('submit', (ereignis) => {
      ereignis.preventDefault();
      const sekunden = (feld) => alsSekunden(feld.value.length === 16 ? `${feld.value}:00` : feld.value);
      const von = sekunden($('von'));
      const bis = sekunden($('bis'));
      if (von < bis) {
        this.stunden = null;
        this.zeitraum = [von, bis];
        this.zurueck = [];
        this.laden();
      }
    });
    this.diagramm.addEventListener('dblclick', () => {
      const vorher = this.zurueck.pop();
      if (vorher) {
        this.stunden = vorher.stunden;
        this.zeitraum = vorher.zeitraum;
        this.laden();
      }
    });
  }

  sensoren() {
    const wahl = $('reihe').value;
    const nummer = Number(wahl.slice(1));
    return this.status.sensoren.filter((s) => (wahl[0] === 'g' ? s.geraet : s.nummer) === nummer);
  }

  bereich() {
    if (this.stunden === null) {
      return this.zeitraum;
    }
    const bis = alsSekunden(this.status.jetzt);
    return [bis - this.stunden * 3600, bis];
  }

  breite() {
    return Math.max(200, this.diagramm.clientWidth);
  }

  meldung(text) {
    $('verlauf-meldung').hidden = !text;
    $('verlauf-meldung').textContent = text ?? '';
  }

  async laden() {
    const [von, bis] = this.bereich();
    const sensoren = this.sensoren();
    // Not while someone types a range of their own.
    if (!$('auswahl').contains(document.activeElement) || document.activeElement.tagName === 'BUTTON') {
      $('von').value = alsIso(von);
      $('bis').value = alsIso(bis);
    }
    document.querySelectorAll('[data-stunden]').forEach((knopf) => {
      knopf.setAttribute('aria-pressed', String(Number(knopf.dataset.stunden) === this.stunden));
    });
    const abfrage = sensoren.map((s) => `sensor=${s.nummer}`).join('&') + `&von=${alsIso(von)}&bis=${alsIso(bis)}`;
    $('csv').href = `werte.csv?${abfrage}`;
    $('csv-de').href = `werte.csv?${abfrage}&format=de`;

    const ladung = ++this.ladung;
    const punkte = Math.min(5000, Math.round(this.breite()));
    let reihen;
    try {
      reihen = await Promise.all(sensoren.map(async (s) => {
        const antwort = await fetch(seitenAdresse(`api/werte?sensor=${s.nummer}&von=${alsIso(von)}&bis=${alsIso(bis)}&punkte=${punkte}`));
        const daten = await antwort.json();
        if (!antwort.ok) {
          throw new Error(daten.fehler);
        }
        return daten;
      }));
    } catch (fehler) {
      if (ladung === this.ladung) {
        this.meldung(`Die gespeicherten Werte konnten nicht gelesen werden: ${fehler.message}`);
      }
      return;
    }
    if (ladung === this.ladung) {
      this.meldung(reihen.every((r) => r.zeit.length === 0) ? 'In diesem Zeitraum sind keine Werte gespeichert.' : null);
      this.zeichnen(sensoren, reihen, von, bis);
    }
  }

  zeichnen(sensoren, reihen, von, bis) {
    this.sichtbar = [von, bis];
    const wert = (u, v) => zahl(v);
    const heute = this.status.jetzt.slice(0, 10);
    let daten;
    let serien;
    let baender = [];
    if (sensoren.length === 1) {
      const r = mitLuecken(reihen[0], ['mittel', 'minimum', 'maximum']);
      daten = [r.x, r.mittel, r.minimum, r.maximum];
      const linie = farbe('--linie-1');
      serien = [
        { label: `${sensoren[0].bezeichnung} (Mittel)`, stroke: linie, width: 2, value: wert },
        { label: 'Minimum', stroke: farbe('--band'), width: 1, value: wert },
        { label: 'Maximum', stroke: farbe('--band'), width: 1, value: wert },
      ];
      baender = [{ series: [3, 2], fill: farbe('--band') }];
    } else {
      const tabellen = reihen.map((reihe) => {
        const r = mitLuecken(reihe, ['mittel']);
        return [r.x, r.mittel];
      });
      daten = uPlot.join(tabellen);
      serien = sensoren.map((s, i) => ({
        label: s.bezeichnung, stroke: farbe(`--linie-${(i % 8) + 1}`), width: 2, value: wert,
      }));
    }
    // The same series with new rows (a store, another range) are put into the chart as it is,
    // so that it does not flicker after every store.
    if (this.plot && this.plotFuer === $('reihe').value) {
      this.plot.setData(daten);
      this.diagramm.dataset.gezeichnet = String(daten[0].length);
      return;
    }
    const achse = {
      stroke: farbe('--gedaempft'),
      grid: { stroke: farbe('--rand'), width: 1 },
      ticks: { stroke: farbe('--rand'), width: 1 },
    };
    const optionen = {
      width: this.breite(),
      height: HOEHE,
      tzDate: utc,
      fmtDate: (vorlage) => uPlot.fmtDate(vorlage, NAMEN),
      scales: { x: { time: true, range: () => this.sichtbar } },
      series: [{ label: 'Zeit', value: (u, x) => (x === null ? '–' : zeitText(alsIso(x), heute)) }, ...serien],
      bands: baender,
      axes: [{ ...achse, values: ZEITACHSE }, { ...achse, size: 64, values: (u, werte) => werte.map(zahl) }],
      cursor: { drag: { x: true, y: false, setScale: false } },
      hooks: { setSelect: [(u) => this.ausschnitt(u)] },
    };
    this.plot?.destroy();
    this.plot = new uPlot(optionen, daten, this.diagramm);
    this.plotFuer = $('reihe').value;
    this.diagramm.dataset.gezeichnet = String(daten[0].length);
  }

  ausschnitt(u) {
    if (u.select.width < 5) {
      return;
    }
    let von = Math.floor(u.posToVal(u.select.left, 'x'));
    let bis = Math.ceil(u.posToVal(u.select.left + u.select.width, 'x'));
    if (bis - von < KUERZESTER_AUSSCHNITT) {
      von = Math.floor((von + bis - KUERZESTER_AUSSCHNITT) / 2);
      bis = von + KUERZESTER_AUSSCHNITT;
    }
    u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
    this.zurueck.push({ stunden: this.stunden, zeitraum: this.zeitraum });
    this.stunden = null;
    this.zeitraum = [von, bis];
    this.laden();
  }
}
