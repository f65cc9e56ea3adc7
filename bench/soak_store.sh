#!/usr/bin/env bash
# Soak test of the store (a script, not a timed test). Against the built program, 99 simulated
# sensors on loopback and a store every second:
#   1. kill -9 at KILLS (default 30) random moments; after each, PRAGMA integrity_check must say
#      ok and every store must be whole or absent;
#   2. another program holds an exclusive lock for LOCK_SECONDS (default 20) while the program
#      runs: it must keep polling, and afterwards every store must be there once, whole;
#   3. SIGTERM during such a lock: exit code 0, the time to exit printed, the rows in the recovery
#      file, and the next start writes them and removes the file.
# A store is told by its Zeit: stores are a second or more apart and all rows of one store share
# its Zeit, so a whole store is exactly 99 rows with one Zeit. The check is first run against a
# store cut short on purpose, to show that it notices one.
#   bench/soak_store.sh [build-dir]      (KILLS=30 LOCK_SECONDS=20 PORT=18181 in the environment)
set -euo pipefail
build="$(cd "${1:-$(dirname "$0")/../build}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
kills="${KILLS:-30}"
lock_seconds="${LOCK_SECONDS:-20}"
port="${PORT:-18181}"
sensors=99
work="$(mktemp -d)"
db="$work/Messwerte.mdb"
program=""
simulator=""
cleanup() {
    [ -n "$program" ] && kill -9 "$program" 2>/dev/null || true
    [ -n "$simulator" ] && kill "$simulator" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FEHLER: $*" >&2; exit 1; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Prints nothing when the database is sound and every store whole; otherwise what is wrong.
check() {
    local file="$1" integrity partial
    integrity="$(sqlite3 "$file" 'PRAGMA integrity_check')"
    [ "$integrity" = ok ] || echo "integrity_check: $integrity"
    partial="$(sqlite3 "$file" "SELECT Zeit || ': ' || count(*) || ' Zeilen' FROM Werte
                                GROUP BY Zeit HAVING count(*) <> $sensors
                                   OR count(DISTINCT SensorNummer) <> $sensors")"
    [ -z "$partial" ] || echo "unvollständige Speicherungen: $partial"
}

stores() { sqlite3 "$db" 'SELECT count(DISTINCT Zeit) FROM Werte'; }

start_program() {
    "$build/pelvarod" --database "$db" > "$work/out" 2> "$work/err" &
    program=$!
}

# The database: 9 devices with 11 sensors each, a pass every tick, a store every pass.
sqlite3 "$db" < "$root/docs/schema.sql" > /dev/null
{
    echo "UPDATE Einstellungen SET Wert = CASE Parameter WHEN 'MessIntervall' THEN 0 ELSE 1 END;"
    for d in $(seq 1 9); do
        echo "INSERT INTO Geraete VALUES ($d, '127.0.0.1:$((port + d - 1))', 'Gerät $d');"
        for s in $(seq 1 11); do
            echo "INSERT INTO Sensoren VALUES ($(( (d - 1) * 11 + s )), $d, $s, 'Sensor $d.$s');"
        done
    done
} | sqlite3 "$db"

# The check must notice a store cut short.
cp "$db" "$work/probe.mdb"
sqlite3 "$work/probe.mdb" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40)
                           INSERT INTO Werte SELECT i, '2000-01-01 00:00:00', 1 FROM n"
[ -n "$(check "$work/probe.mdb")" ] || fail "die Prüfung erkennt eine halbe Speicherung nicht"

"$build/pelvaro-devicesim" --port "$port" --count 9 --sensors 11 > "$work/sim" &
simulator=$!
for _ in $(seq 50); do grep -q '^bereit$' "$work/sim" && break; sleep 0.1; done
grep -q '^bereit$' "$work/sim" || fail "simulierte Geräte nicht gestartet (Ports $port-$((port + 8)))"

echo "1. kill -9 zu $kills zufälligen Zeitpunkten"
for i in $(seq 1 "$kills"); do
    start_program
    sleep "$((RANDOM % 3 + 1)).$((RANDOM % 1000))"
    kill -9 "$program"
    wait "$program" 2>/dev/null || true
    program=""
    problems="$(check "$db")"
    [ -z "$problems" ] || fail "nach kill -9 Nr. $i: $problems"
done
echo "   ok: $(stores) Speicherungen, alle ganz; integrity_check ok"

echo "2. Sperre durch ein anderes Programm für $lock_seconds s"
before_run="$(stores)"
start_program
sleep 3
sqlite3 "$db" ".timeout 5000" "BEGIN EXCLUSIVE;" ".shell sleep $lock_seconds" "COMMIT;" &
locker=$!
sleep 1
passes_at_lock="$(grep -c '^[0-9][0-9]:' "$work/out" || true)"
wait "$locker"
passes_after_lock="$(grep -c '^[0-9][0-9]:' "$work/out" || true)"
failed="$(grep -c 'Speichern in die Datenbank fehlgeschlagen' "$work/out" || true)"
sleep 3
kill -TERM "$program"
code=0
wait "$program" || code=$?
program=""
[ "$code" = 0 ] || fail "Ende nach der Sperre mit Code $code"
problems="$(check "$db")"
[ -z "$problems" ] || fail "nach der Sperre: $problems"
after="$(stores)"
passes="$(grep -c '^[0-9][0-9]:' "$work/out" || true)"
echo "   Durchgänge während der Sperre: $((passes_after_lock - passes_at_lock)), davon $failed mit fehlgeschlagener Speicherung"
echo "   Speicherungen dieses Laufs: $((after - before_run)) bei $passes ausgegebenen Durchgängen"
[ "$((after - before_run))" -ge "$passes" ] || fail "Speicherungen fehlen"
grep 'jetzt gespeichert' "$work/err" | sed 's/^/   stderr: /'

echo "3. SIGTERM während einer Sperre"
start_program
sleep 3
sqlite3 "$db" ".timeout 5000" "BEGIN EXCLUSIVE;" ".shell sleep $lock_seconds" "COMMIT;" &
locker=$!
sleep 5
t0="$(now_ms)"
kill -TERM "$program"
code=0
wait "$program" || code=$?
t1="$(now_ms)"
program=""
echo "   SIGTERM bis Ende: $((t1 - t0)) ms, Code $code"
[ "$code" = 0 ] || fail "Ende während der Sperre mit Code $code"
recovery="$db.ausstehend"
[ -f "$recovery" ] || fail "keine Datei $recovery"
kept="$(($(wc -l < "$recovery") - 1))"
echo "   $kept Zeilen in $recovery; stderr: $(cat "$work/err")"
wait "$locker"
before_restart="$(sqlite3 "$db" 'SELECT count(*) FROM Werte')"
start_program
for _ in $(seq 50); do [ -f "$recovery" ] || break; sleep 0.1; done
[ ! -f "$recovery" ] || fail "die Datei $recovery wurde beim Start nicht übernommen"
kill -TERM "$program"
wait "$program" || fail "Ende nach der Übernahme mit Fehler"
program=""
problems="$(check "$db")"
[ -z "$problems" ] || fail "nach der Übernahme: $problems"
taken="$(( $(sqlite3 "$db" 'SELECT count(*) FROM Werte') - before_restart ))"
[ "$taken" -ge "$kept" ] || fail "nur $taken von $kept Zeilen übernommen"
echo "   ok: $kept Zeilen beim nächsten Start geschrieben, Datei entfernt"
echo "Alles in Ordnung."
