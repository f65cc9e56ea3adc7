#!/usr/bin/env bash
# How often the one healthy device among silent ones is polled, sequential against parallel: runs
# build/pelvarod beside 1 answering and SILENT silent simulated devices with
# MessIntervall 2, once without and once with ParallelAbfrage, and prints the mean time between
# two passes of each. Loopback only. Usage: bench/poll-interval.sh [seconds per run, default 130]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
duration=${1:-130}
silent=${SILENT:-4}
work=$(mktemp -d)
simulator=""
trap '[ -n "$simulator" ] && kill "$simulator" 2>/dev/null; rm -rf "$work"' EXIT

"$root/build/pelvaro-devicesim" --count $((silent + 1)) --sensors 1 --behaviour silent,1=normal \
    > "$work/sim.out" &
simulator=$!
until grep -q '^bereit$' "$work/sim.out"; do sleep 0.1; done
mapfile -t addresses < <(grep '^127' "$work/sim.out")

run() {  # ParallelAbfrage value -> mean seconds between passes
    local database="$work/Messwerte-$1.mdb"
    sqlite3 "$database" < "$root/docs/schema.sql" > /dev/null
    {
        echo "DELETE FROM Einstellungen;"
        echo "INSERT INTO Einstellungen VALUES ('MessIntervall', 2), ('Messungen', 5);"
        [ "$1" -gt 0 ] && echo "INSERT INTO Einstellungen VALUES ('ParallelAbfrage', $1);"
        local i=0
        for address in "${addresses[@]}"; do
            i=$((i + 1))
            echo "INSERT INTO Geraete VALUES ($i, '$address', 'Geraet $i');"
        done
        echo "INSERT INTO Sensoren VALUES (1, 1, 1, 'Gesund');"
    } | sqlite3 "$database"
    # Every pass log begins with the healthy device's reading; stamp each on arrival.
    timeout "$duration" "$root/build/pelvarod" --database "$database" \
        | while IFS= read -r line; do
            case "$line" in Gesund:*) date +%s.%N ;; esac
        done > "$work/stamps-$1" || true
    awk 'NR > 1 { sum += $1 - last; n++ } { last = $1 }
         END { if (n) printf "%.2f s over %d intervals\n", sum / n, n; else print "fewer than 2 passes" }' \
        "$work/stamps-$1"
}

echo "1 healthy + $silent silent devices, MessIntervall 2, ${duration} s per run"
echo "sequential:            $(run 0)"
echo "ParallelAbfrage 3:     $(run 3)"
