#!/usr/bin/env bash
# The page's setup part saving over and over while the program polls: SAVES saves (default 30),
# 0.3 s apart, each renaming a device, against the real program on loopback with two simulated
# devices, a poll every second and a store every two. Printed, never asserted: the time a save
# takes (median, longest) and the spacing of the stored rows meanwhile, which stays 2 s when no
# save holds up a pass or a store.
# Usage, from the project root after building: bench/setup-saves.sh [SAVES]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELVARO_BUILD:-$root/build}"
work="$(mktemp -d)"
FIRST=19701
PAGE=19700
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

"$build/pelvaro-devicesim" --port $FIRST --count 2 --sensors 3 --lifetime 600 > "$work/sim.out" &
pids+=($!)
sqlite3 "$work/Messwerte.mdb" < "$root/docs/schema.sql" > /dev/null
sqlite3 "$work/Messwerte.mdb" "DELETE FROM Einstellungen;
    INSERT INTO Einstellungen VALUES ('MessIntervall', 1), ('Messungen', 2);
    INSERT INTO Geraete VALUES (1, '127.0.0.1:$FIRST', 'A'), (2, '127.0.0.1:$((FIRST + 1))', 'B');
    INSERT INTO Sensoren VALUES (11, 1, 1, 'a'), (21, 2, 1, 'b');"
for _ in $(seq 50); do grep -q '^bereit$' "$work/sim.out" && break; sleep 0.1; done
echo geheim | "$build/pelvarod" --hash-password anna > "$work/users"
chmod 600 "$work/users"
"$build/pelvarod" --database "$work/Messwerte.mdb" --status 127.0.0.1:$PAGE \
    --status-users "$work/users" > /dev/null 2> "$work/journal" &
pids+=($!)
sleep 3

python3 - "$PAGE" "${1:-30}" <<'PY'
import base64, json, sys, time, urllib.request
page, saves = sys.argv[1], int(sys.argv[2])
base = f'http://127.0.0.1:{page}'
headers = {'Authorization': 'Basic ' + base64.b64encode(b'anna:geheim').decode(),
           'Origin': base, 'Content-Type': 'application/json'}
def call(path, body=None):
    data = None if body is None else json.dumps(body).encode()
    return json.load(urllib.request.urlopen(urllib.request.Request(base + path, data, headers)))
took = []
for i in range(saves):
    form = call('/api/einrichtung')
    doc = form['dokument']
    devices = [dict(d, schluessel=str(k + 1)) for k, d in enumerate(doc['Geraete'])]
    devices[0]['Bezeichnung'] = f'A{i}'
    sensors = [dict(s, Geraet=str(s['Geraet'])) for s in doc['Sensoren']]
    start = time.time()
    call('/api/einrichtung', {'token': form['token'], 'stand': form['stand'], 'formular': {
        'Einstellungen': doc['Einstellungen'], 'Geraete': devices, 'Sensoren': sensors,
        'Grenzwerte': doc.get('Grenzwerte', [])}})
    took.append((time.time() - start) * 1000)
    time.sleep(0.3)
took.sort()
print(f'{saves} saves: median {took[len(took) // 2]:.1f} ms, longest {took[-1]:.1f} ms')
PY
sleep 2
sqlite3 "$work/Messwerte.mdb" "SELECT Zeit FROM Werte WHERE SensorNummer = 11 ORDER BY rowid" |
    python3 -c '
import collections, datetime, sys
t = [datetime.datetime.strptime(l.strip(), "%Y-%m-%d %H:%M:%S") for l in sys.stdin]
gaps = collections.Counter(int((b - a).total_seconds()) for a, b in zip(t, t[1:]))
print("seconds between stores meanwhile:", dict(gaps))'
