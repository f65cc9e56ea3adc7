#!/usr/bin/env bash
# Builds the two Debian packages with CPack from build/, lists their contents and checks them:
# pelvarod (the service: binary, unit, schemas; no GUI library among its dependencies) and
# pelvaro-access (the program with its window, which opens and ends on SIGTERM).
#   scripts/check-package.sh [--install]
# --install (root only; for CI) also installs both with apt-get, runs the installed service
# program for a few seconds against a fresh database, and removes the packages again.
set -euo pipefail
PELVARO_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELVARO_BUILD:-$PELVARO_ROOT/build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" > "$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
daemon="$(ls "$work"/out/pelvarod_*.deb)"
window="$(ls "$work"/out/pelvaro-access_*.deb)"
for deb in "$daemon" "$window"; do
    echo "Paket: $(basename "$deb")"
    dpkg-deb -c "$deb" | tee "$work/$(basename "$deb").contents"
    echo "Depends: $(dpkg-deb -f "$deb" Depends)"
    echo "Recommends: $(dpkg-deb -f "$deb" Recommends)"
    dpkg-deb -x "$deb" "$work/root"
done
for path in ./usr/bin/pelvarod ./usr/lib/systemd/system/pelvarod.service \
            ./usr/share/pelvaro/schema.sql ./usr/share/pelvaro/schema-postgresql.sql; do
    grep -q " $path\$" "$work/$(basename "$daemon").contents" || fail "fehlt in pelvarod: $path"
done
grep -q ' ./usr/bin/pelvaro-access$' "$work/$(basename "$window").contents" \
    || fail "fehlt in pelvaro-access: ./usr/bin/pelvaro-access"
for driver in libqt6sql6-psql libqt6sql6-odbc; do
    dpkg-deb -f "$daemon" Recommends | grep -q "$driver" || fail "pelvarod empfiehlt $driver nicht"
done
# A server install pulls in no GUI library: neither the package nor the binary names one.
if dpkg-deb -f "$daemon" Depends | grep -E 'libqt6(widgets|gui)|qt6-qpa|libx11'; then
    fail "pelvarod hängt von einer Fenster-Bibliothek ab"
fi
if ldd "$work/root/usr/bin/pelvarod" | grep -E 'libQt6(Widgets|Gui)'; then
    fail "pelvarod lädt Fenster-Bibliotheken"
fi
dpkg-deb -f "$window" Depends | grep -q 'libqt6widgets6' || fail "pelvaro-access ohne Qt Widgets"
grep -q '^ExecStart=/usr/bin/pelvarod --database' "$work/root/usr/lib/systemd/system/pelvarod.service" \
    || fail "Unit startet nicht /usr/bin/pelvarod"
"$work/root/usr/bin/pelvarod" --version | grep -q '^pelvarod .* 1\.00$'
"$work/root/usr/bin/pelvaro-access" --version | grep -q '^pelvaro-access .* 1\.00$'

# The stripped window program opens its window (offscreen), and SIGTERM ends it with 0.
sqlite3 "$work/fenster.mdb" < "$work/root/usr/share/pelvaro/schema.sql" > /dev/null
sqlite3 "$work/fenster.mdb" "INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'Testgerät');
                             INSERT INTO Sensoren VALUES (1, 1, 1, 'Test');"
status=0
QT_QPA_PLATFORM=offscreen timeout --preserve-status -s TERM 5 "$work/root/usr/bin/pelvaro-access" \
    --database "$work/fenster.mdb" > "$work/window.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$work/window.log"; fail "mit Fenster endete es mit $status"; }

if [ "${1:-}" = "--install" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q "$daemon" "$window" > "$work/apt.log" || { cat "$work/apt.log"; exit 1; }
    if command -v systemd-analyze > /dev/null; then
        systemd-analyze verify /usr/lib/systemd/system/pelvarod.service
    fi
    sqlite3 "$work/Messwerte.mdb" < /usr/share/pelvaro/schema.sql > /dev/null
    sqlite3 "$work/Messwerte.mdb" "INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'Testgerät');
                                   INSERT INTO Sensoren VALUES (1, 1, 1, 'Test');"
    status=0
    timeout --preserve-status -s TERM 5 /usr/bin/pelvarod \
        --database "$work/Messwerte.mdb" > "$work/run.log" 2>&1 || status=$?
    apt-get purge -y -q pelvaro-access pelvarod > /dev/null
    cat "$work/run.log"
    [ "$status" -eq 0 ] || fail "installiertes Programm endete mit $status"
    grep -q 'Datenholung von Testgerät war erfolglos.' "$work/run.log"
    echo "Installiert, gestartet und beendet: in Ordnung."
fi
