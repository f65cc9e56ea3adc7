#!/usr/bin/env bash
# The program on storage as slow as an SD card: tests/support's preloaded library makes every
# fsync and fdatasync wait SYNC_MS (default 500) and counts them; SCHEMA names another schema file. Runs PELVAROD (default
# build/pelvarod) beside 3 simulated devices with 3 sensors each, MessIntervall 1 and one store a
# second, the status page on, and prints
#   - syncs per store on a fast disk (no wait),
#   - the time from SIGTERM, sent while a store waits for its first sync, to the end,
#   - the slowest /healthz answer and how many took over 200 ms, asked every 100 ms for 20 s,
#   - the mean time between two passes.
# Loopback only. Usage: bench/slow-disk.sh [PELVAROD]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
program="$(realpath "${1:-$root/build/pelvarod}")"
preload="$root/build/tests/support/libpelvaro_slowsync.so"
sync_ms=${SYNC_MS:-500}
[ -f "$preload" ] || { echo "$preload fehlt: ./test.sh baut es." >&2; exit 1; }
work=$(mktemp -d)
simulator=""
trap '[ -n "$simulator" ] && kill "$simulator" 2>/dev/null; rm -rf "$work"' EXIT

"$root/build/pelvaro-devicesim" --count 3 --sensors 3 > "$work/sim.out" &
simulator=$!
until grep -q '^bereit$' "$work/sim.out"; do sleep 0.1; done
mapfile -t addresses < <(grep '^127' "$work/sim.out")

database() {  # fresh database file
    rm -f "$work"/Messwerte.mdb*
    sqlite3 "$work/Messwerte.mdb" < "${SCHEMA:-$root/docs/schema.sql}" > /dev/null
    {
        echo "DELETE FROM Einstellungen;"
        echo "INSERT INTO Einstellungen VALUES ('MessIntervall', 1), ('Messungen', 1);"
        local i=0
        for address in "${addresses[@]}"; do
            i=$((i + 1))
            echo "INSERT INTO Geraete VALUES ($i, '$address', 'Geraet $i');"
            for t in 1 2 3; do echo "INSERT INTO Sensoren VALUES ($((i * 10 + t)), $i, $t, 'S$i$t');"; done
        done
    } | sqlite3 "$work/Messwerte.mdb"
}

now_ms() { date +%s%3N; }

# Syncs per store, no waits.
database
: > "$work/syncs"
LD_PRELOAD="$preload" PELVARO_SYNC_LOG="$work/syncs" PELVARO_SLOW_SYNC_MS=0 \
    timeout -s TERM 12 "$program" --database "$work/Messwerte.mdb" > /dev/null 2>&1 || true
stores=$(sqlite3 "$work/Messwerte.mdb" "SELECT count(DISTINCT Zeit) FROM Werte")
syncs=$(wc -l < "$work/syncs")
awk -v s="$syncs" -v n="$stores" 'BEGIN { printf "syncs per store (fast disk): %.1f (%d syncs, %d stores, start and end included)\n", s / n, s, n }'

# SIGTERM while a store waits for the disk, five times: once the first store is over, right after
# the next one's first sync has begun.
for trial in 1 2 3 4 5; do
    database
    : > "$work/syncs"
    LD_PRELOAD="$preload" PELVARO_SYNC_LOG="$work/syncs" PELVARO_SLOW_SYNC_MS="$sync_ms" \
        "$program" --database "$work/Messwerte.mdb" > "$work/out" 2> /dev/null &
    pid=$!
    until grep -qE '^[0-9]{2}:[0-9]{2}:[0-9]{2} ' "$work/out" 2>/dev/null; do sleep 0.005; done
    before=$(wc -l < "$work/syncs")
    until [ "$(wc -l < "$work/syncs")" -gt "$before" ]; do sleep 0.002; done
    start=$(now_ms)
    kill -TERM "$pid"
    wait "$pid" || true
    echo "SIGTERM during a store, trial $trial: ended after $(($(now_ms) - start)) ms"
done

# The page while stores wait for the disk.
database
LD_PRELOAD="$preload" PELVARO_SLOW_SYNC_MS="$sync_ms" \
    "$program" --database "$work/Messwerte.mdb" --status 127.0.0.1:18189 > "$work/out" 2> /dev/null &
pid=$!
sleep 2
for _ in $(seq 200); do
    curl -s -o /dev/null -m 5 -w '%{time_total}\n' http://127.0.0.1:18189/healthz >> "$work/health" || echo 5 >> "$work/health"
    sleep 0.1
done
kill -TERM "$pid"
wait "$pid" || true
sort -n "$work/health" | awk '{ if ($1 > 0.2) slow++; worst = $1 } END { printf "/healthz every 100 ms for 20 s: worst %.3f s, %d over 200 ms\n", worst, slow }'
grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2} ' "$work/out" | awk '{ split($1, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]; if (NR > 1) { sum += s - last; n++ } last = s } END { if (n) printf "polls: every %.2f s over %d intervals\n", sum / n, n }'
