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
#   4. footprint: CPU and peak RSS with the page on and no client against the page off, measured
#      as ../shared/bench/footprint.sh does (DURATION seconds each, default 60; ROUNDS rounds,
#      default 3), and the CPU after the first 10 s apart, which leaves out the start;
#   5. postgresql: part 1 against a throwaway PostgreSQL server (tests/support/pgserver.sh).
# Usage, from the project root after building: bench/statuspage.sh [PART...], PART one of chart,
# passes, load, footprint, postgresql; without one: chart passes load.
# Needs sqlite3, curl, python3 and chromium. Loopback only; chromium resolves no host name.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELVARO_BUILD:-$root/build}"
work="$(mktemp -d)"
FIRST=19301
NDEV=10
ROWS=259200
pids=()
pgdir=""
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
      [ -z "$pgdir" ] || "$root/tests/support/pgserver.sh" stop "$pgdir"; rm -rf "$work"' EXIT
parts=" ${*:-chart passes load} "
want() { [[ "$parts" == *" $1 "* ]]; }

"$build/pelvaro-devicesim" --port $FIRST --count $NDEV --sensors 3 --lifetime 3600 > "$work/sim.out" &
pids+=($!)

if want chart || want passes; then
    echo "Datenbank mit $((ROWS * NDEV)) Zeilen anlegen ..."
    sqlite3 "$work/Messwerte.mdb" < "$root/docs/schema.sql" > /dev/null
    {
        echo "DROP INDEX WerteZeit;"
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
    sqlite3 "$work/Messwerte.mdb" "CREATE INDEX WerteZeit ON Werte (Zeit, SensorNummer, MessWert)"
fi
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

if want chart; then
    echo
    echo "1. 30 Tage eines Sensors über /api/werte (punkte=1000)"
    start "$work/Messwerte.mdb"
    echo "   mit Index:   $(series 20)"
    stop
    start "$work/ohne-index.mdb"
    echo "   ohne Index:  $(series 3)"
    stop
fi

if want passes; then
    echo
    echo "2. Dauer der Abfragedurchgänge über $NDEV simulierte Geräte"
    start "$work/Messwerte.mdb"
    echo "   ohne Client:                    $(passes 40)"
    count="$work/requests"
    (while :; do
        curl -s -o /dev/null -w '.\n' \
            "${url}api/werte?sensor=$((RANDOM % NDEV + 1))&von=$von&bis=$bis&punkte=1000" >> "$count"
    done) &
    loop=$!
    pids+=($loop)
    echo "   Client holt Verläufe in Folge: $(passes 40) ($(wc -l < "$count") Verläufe geholt)"
    kill "$loop"
    stop
    echo "   Speichern fehlgeschlagen (Sperre der Datei): $(grep -c 'Speichern in die Datenbank fehlgeschlagen' "$work/p.out" || true) mal"
fi

if want load; then
echo
echo "3. Erstes Laden der Seite (Demo-Geräte, ein Tag gespeicherter Mittelwerte)"
sqlite3 "$work/demo.mdb" < "$root/docs/schema.sql" > /dev/null
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
fi

if want footprint; then
    # As ../shared/bench/footprint.sh measures it (49 devices with 2 sensors each, a pass every
    # 2 s, CPU seconds and peak RSS after DURATION seconds), without its second program, the page
    # off and on in turn, ROUNDS times each.
    rounds="${ROUNDS:-3}"
    echo
    echo "4. CPU und Spitzen-RSS nach ${DURATION:-60} s, 49 Geräte: Seite aus gegen Seite an ohne Client"
    "$build/pelvaro-devicesim" --port 19401 --count 49 --sensors 2 --lifetime 7200 > "$work/sim49.out" &
    pids+=($!)
    {
        echo "CREATE TABLE Einstellungen (Parameter TEXT, Wert); INSERT INTO Einstellungen VALUES ('MessIntervall',2),('Messungen',5);"
        echo "CREATE TABLE Geraete (ID INTEGER, IP TEXT, Bezeichnung TEXT);"
        echo "CREATE TABLE Sensoren (ID INTEGER, Geraet INTEGER, Anschluss INTEGER, Bezeichnung TEXT);"
        echo "CREATE TABLE Werte (SensorNummer INTEGER, Zeit TEXT, MessWert REAL);"
        for i in $(seq 1 49); do
            echo "INSERT INTO Geraete VALUES ($i,'127.0.0.1:$((19400 + i))','dev$i');"
            echo "INSERT INTO Sensoren VALUES ($((2 * i - 1)),$i,1,'s$((2 * i - 1))'), ($((2 * i)),$i,2,'s$((2 * i))');"
        done
    } | sqlite3 "$work/footprint.mdb"
    sleep 1
    cpu() { # pid -> CPU seconds so far
        local tck ut st
        tck="$(getconf CLK_TCK)"
        read -r ut st < <(sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12, $13 }')
        awk -v u="$ut" -v s="$st" -v t="$tck" 'BEGIN { printf "%.2f", (u + s) / t }'
    }
    footprint() { # extra arguments -> "cpu_seconds peak_rss_kb cpu_seconds_after_10s"
        cp "$work/footprint.mdb" "$work/fp.mdb"
        "$build/pelvaro-access" --headless --database "$work/fp.mdb" "$@" > /dev/null 2>&1 &
        local p=$!
        pids+=($p)
        sleep 10
        local early
        early="$(cpu "$p")"
        sleep "$(( ${DURATION:-60} - 10 ))"
        local total
        total="$(cpu "$p")"
        echo "$total $(awk '/^VmHWM/ { print $2 }' "/proc/$p/status")" \
             "$(awk -v a="$total" -v b="$early" 'BEGIN { printf "%.2f", a - b }')"
        kill -9 "$p"
        wait "$p" 2> /dev/null || true
    }
    for round in $(seq "$rounds"); do
        read -r offCpu offRss offLater < <(footprint)
        read -r onCpu onRss onLater < <(footprint --status 127.0.0.1:0)
        echo "   Runde $round: aus ${offCpu} s (nach 10 s: ${offLater} s), ${offRss} kB;" \
             "an ${onCpu} s (nach 10 s: ${onLater} s), ${onRss} kB"
        echo "$offCpu $offRss $onCpu $onRss $offLater $onLater" >> "$work/footprint.txt"
    done
    awk '{ offc += $1; offr += $2; onc += $3; onr += $4; offl += $5; onl += $6 } END {
        printf "   Mittel: aus %.2f s, %d kB; an %.2f s, %d kB: CPU %+.1f %%, RSS %+d kB\n",
               offc / NR, offr / NR, onc / NR, onr / NR, (onc - offc) / offc * 100, (onr - offr) / NR
        printf "   CPU nach den ersten 10 s: aus %.2f s, an %.2f s: %+.1f %%\n",
               offl / NR, onl / NR, (onl - offl) / offl * 100 }' "$work/footprint.txt"
fi

if want postgresql; then
    echo
    echo "5. 30 Tage eines Sensors über /api/werte von einem PostgreSQL-Server (Unix-Socket)"
    pgdir="/tmp/pelvaro-benchpg-$$"
    "$root/tests/support/pgserver.sh" start "$pgdir" > /dev/null
    uri="postgresql://pelvaro@/pelvaro?host=$pgdir"
    psql -q "$uri" -f "$root/docs/schema-postgresql.sql" > /dev/null
    psql -q "$uri" -c "DELETE FROM Einstellungen;
        INSERT INTO Einstellungen (Parameter, Wert) VALUES ('MessIntervall', 2), ('Messungen', 5);
        INSERT INTO Geraete (ID, IP, Bezeichnung)
            SELECT i, '127.0.0.1:' || ($FIRST - 1 + i), 'Gerät ' || i FROM generate_series(1, $NDEV) i;
        INSERT INTO Sensoren (ID, Geraet, Anschluss, Bezeichnung)
            SELECT i, i, 1, 'Sensor ' || i FROM generate_series(1, $NDEV) i;
        INSERT INTO Werte SELECT k, localtimestamp(0) - interval '30 days' + i * interval '10 seconds',
            20 + k + (i % 360) / 100.0 FROM generate_series(0, $ROWS - 1) i, generate_series(1, $NDEV) k"
    # The visibility map, without which the server reads the table beside the index; autovacuum
    # keeps it for a logger's table.
    psql -q "$uri" -c "VACUUM ANALYZE Werte"
    start "$uri"
    echo "   mit Index:   $(series 20)"
    stop
fi
