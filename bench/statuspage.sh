#!/usr/bin/env bash
# The status page's budgets, measured against the real program on loopback and printed, never
# asserted:
#   1. a 30-day chart of one sensor with a store every 10 s (259,200 of its rows among 2,592,000
#      of ten sensors, interleaved as the logger writes them) through /api/werte, with the covering
#      index and without it;
#   2. pass durations (ten simulated devices) while a client fetches such series back to back,
#      against no client;
#   3. the page's first load as chromium receives it (compressed bytes on the wire, headers
#      included), for the demo's devices with a day of stored averages;
#   4. with --footprint: CPU and peak RSS with the page on and no client against the page off,
#      through ../shared/bench/footprint.sh (DURATION seconds each, default 60).
# Usage, from the project root after building: bench/statuspage.sh [--footprint]
# Needs sqlite3, curl, python3 and chromium. Loopback only; chromium resolves no host name.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELVARO_BUILD:-$root/build}"
work="$(mktemp -d)"
FIRST=19301
NDEV=10
ROWS=259200
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

"$build/pelvaro-devicesim" --port $FIRST --count $NDEV --sensors 3 --lifetime 3600 > "$work/sim.out" &
pids+=($!)

echo "Datenbank mit $((ROWS * NDEV)) Zeilen anlegen ..."
sqlite3 "$work/Messwerte.mdb" < "$root/docs/schema.sql"
{
    echo "DROP INDEX WerteSensorZeit;"
    echo "DELETE FROM Einstellungen; INSERT INTO Einstellungen VALUES ('MessIntervall', 2), ('Messungen', 5);"
    for i in $(seq 1 $NDEV); do
        echo "INSERT INTO Geraete VALUES ($i, '127.0.0.1:$((FIRST + i - 1))', 'Gerät $i');"
        echo "INSERT INTO Sensoren VALUES ($i, $i, 1, 'Sensor $i');"
    done
    echo "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < $ROWS - 1),
          s(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM s WHERE k < $NDEV)
          INSERT INTO Werte SELECT k, datetime('now', 'localtime', '-30 days', '+' || (i * 10) || ' seconds'),
                 20 + k + (i % 360) / 100.0 FROM n, s;"
} | sqlite3 "$work/Messwerte.mdb"
cp "$work/Messwerte.mdb" "$work/ohne-index.mdb"
sqlite3 "$work/Messwerte.mdb" "CREATE INDEX WerteSensorZeit ON Werte (SensorNummer, Zeit, MessWert)"
for _ in $(seq 50); do grep -q '^bereit$' "$work/sim.out" && break; sleep 0.1; done

prog=""
start() { # database
    (cd "$work" && exec "$build/pelvaro-access" --headless --database "$1" \
        --status 127.0.0.1:0 > "$work/p.out" 2> "$work/p.err") &
    prog=$!
    pids+=($prog)
    url=""
    for _ in $(seq 100); do
        url="$(grep -o 'http://[0-9.:]*/' "$work/p.err" || true)"
        [ -n "$url" ] && break
        sleep 0.1
    done
    [ -n "$url" ] || { cat "$work/p.err"; exit 1; }
    sleep 3
}
stop() { kill "$prog"; wait "$prog" 2>/dev/null || true; }
von="$(date -d '-30 days' +%Y-%m-%dT%H:%M:%S)"
bis="$(date +%Y-%m-%dT%H:%M:%S)"
series() { # requests
    local first
    first="$(curl -s -o /dev/null -w '%{time_total}' "${url}api/werte?sensor=5&von=$von&bis=$bis&punkte=1000")"
    for _ in $(seq "$1"); do
        curl -s -o /dev/null -w '%{time_total}\n' "${url}api/werte?sensor=5&von=$von&bis=$bis&punkte=1000"
    done | sort -n | awk -v first="$first" '{ t[NR] = $1 * 1000 } END {
        printf "erste %.0f ms, danach Median %.0f ms, höchste %.0f ms (%d Anfragen)\n",
               first * 1000, t[int((NR + 1) / 2)], t[NR], NR }'
}
passes() { # seconds
    python3 - "$url" "$1" <<'PY'
import json, sys, time, urllib.request
url, seconds = sys.argv[1], float(sys.argv[2])
seen, end = {}, time.time() + seconds
while time.time() < end:
    status = json.load(urllib.request.urlopen(url + "api/status"))
    if status["letzterDurchgang"]:
        seen[status["durchgaenge"]] = status["letzterDurchgang"]["dauerSekunden"] * 1000
    time.sleep(0.2)
d = sorted(seen.values())
print(f"{len(d)} Durchgänge: Median {d[len(d) // 2]:.0f} ms, 95 % {d[int(len(d) * 0.95)]:.0f} ms, "
      f"höchste {d[-1]:.0f} ms")
PY
}

echo
echo "1. 30 Tage eines Sensors über /api/werte (punkte=1000)"
start "$work/Messwerte.mdb"
echo "   mit Index:  $(series 20)"
echo
echo "2. Dauer der Abfragedurchgänge über $NDEV simulierte Geräte"
echo "   ohne Client:                    $(passes 40)"
count="$work/requests"
(while :; do curl -s -o /dev/null -w '.\n' "${url}api/werte?sensor=$((RANDOM % NDEV + 1))&von=$von&bis=$bis&punkte=1000" >> "$count"; done) &
loop=$!
pids+=($loop)
echo "   Client holt Verläufe in Folge: $(passes 40) ($(wc -l < "$count") Verläufe geholt)"
kill "$loop"
stop
start "$work/ohne-index.mdb"
echo
echo "1b. dasselbe ohne Index:  $(series 3)"
stop

echo
echo "3. Erstes Laden der Seite (Demo-Geräte, ein Tag gespeicherter Mittelwerte)"
sqlite3 "$work/demo.mdb" < "$root/docs/schema.sql"
sqlite3 "$work/demo.mdb" < "$root/scripts/demo.sql"
sqlite3 "$work/demo.mdb" "UPDATE Geraete SET IP = '127.0.0.1:' || ($FIRST - 1 + ID);
    WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 8639)
    INSERT INTO Werte SELECT s.ID, datetime('now', 'localtime', '-1 days', '+' || (i * 10) || ' seconds'),
           20 + s.ID % 7 + (i % 500) / 100.0 + (abs(random()) % 100) / 1000.0 FROM n, Sensoren s"
start "$work/demo.mdb"
profile="$(mktemp -d -p "$work")"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1" --user-data-dir="$profile" \
    --window-size=1280,1000 --virtual-time-budget=3000 --log-net-log="$work/net.json" \
    --dump-dom "$url" > "$work/dom.html" 2> /dev/null
python3 - "$work/net.json" <<'PY'
import json, sys
log = json.load(open(sys.argv[1]))
types = {v: k for k, v in log["constants"]["logEventTypes"].items()}
received = sum(e.get("params", {}).get("byte_count", 0)
               for e in log["events"] if types.get(e["type"]) == "SOCKET_BYTES_RECEIVED")
urls = [e["params"]["url"] for e in log["events"]
        if types.get(e["type"]) == "URL_REQUEST_START_JOB" and "url" in e.get("params", {})
        and e["params"]["url"].startswith("http://127.0.0.1")]
print(f"   {received} Bytes empfangen ({received / 1024:.1f} KiB) in {len(urls)} Anfragen, "
      "Köpfe und die ersten Nachfragen nach dem Zustand eingeschlossen")
PY
grep -q 'data-gezeichnet="[1-9]' "$work/dom.html" && echo "   (Diagramm gezeichnet)"
stop

if [ "${1:-}" = "--footprint" ]; then
    echo
    echo "4. CPU und Spitzen-RSS, Seite aus gegen Seite an ohne Client (footprint.sh)"
    footprint="$root/../shared/bench/footprint.sh"
    echo "   Seite aus:"; "$footprint" "$build/pelvaro-access" --headless | sed 's/^/     /'
    echo "   Seite an:";  "$footprint" "$build/pelvaro-access" --headless --status 127.0.0.1:0 | sed 's/^/     /'
fi
