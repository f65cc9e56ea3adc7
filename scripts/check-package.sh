#!/usr/bin/env bash
# Builds the Debian package with CPack from build/, lists its contents and checks that the binary,
# the service unit and the schema are in it and that the packaged binary runs, also with its
# window.
#   scripts/check-package.sh [--install]
# --install (root only; for CI) also installs it with apt-get, runs the installed program headless
# for a few seconds against a fresh database, and removes the package again.
set -euo pipefail
PELVARO_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELVARO_BUILD:-$PELVARO_ROOT/build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" > "$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb="$(ls "$work"/out/*.deb)"
echo "Paket: $(basename "$deb")"
dpkg-deb -c "$deb" | tee "$work/contents"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
echo "Recommends: $(dpkg-deb -f "$deb" Recommends)"
for driver in libqt6sql6-psql libqt6sql6-odbc; do
    dpkg-deb -f "$deb" Recommends | grep -q "$driver" || { echo "Recommends ohne $driver" >&2; exit 1; }
done
for path in ./usr/bin/pelvaro-access ./usr/lib/systemd/system/pelvaro-access.service \
            ./usr/share/pelvaro/schema.sql ./usr/share/pelvaro/schema-postgresql.sql; do
    grep -q " $path\$" "$work/contents" || { echo "fehlt im Paket: $path" >&2; exit 1; }
done
dpkg-deb -x "$deb" "$work/root"
grep -q '^ExecStart=/usr/bin/pelvaro-access --headless' \
    "$work/root/usr/lib/systemd/system/pelvaro-access.service" \
    || { echo "Unit startet nicht /usr/bin/pelvaro-access" >&2; exit 1; }
"$work/root/usr/bin/pelvaro-access" --version | grep -q ' 1\.00$'
# The window libraries come only with the window module embedded in the binary; the stripped
# binary still carries it and opens its window (offscreen), and SIGTERM ends it with 0.
if ldd "$work/root/usr/bin/pelvaro-access" | grep -E 'libQt6(Widgets|Gui)'; then
    echo "Das Programm lädt die Fenster-Bibliotheken schon beim Start" >&2; exit 1
fi
sqlite3 "$work/fenster.mdb" < "$work/root/usr/share/pelvaro/schema.sql"
sqlite3 "$work/fenster.mdb" "INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'Testgerät');
                             INSERT INTO Sensoren VALUES (1, 1, 1, 'Test');"
status=0
QT_QPA_PLATFORM=offscreen timeout --preserve-status -s TERM 5 "$work/root/usr/bin/pelvaro-access" \
    --database "$work/fenster.mdb" > "$work/window.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$work/window.log"; echo "mit Fenster endete es mit $status" >&2; exit 1; }

if [ "${1:-}" = "--install" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q "$deb" > "$work/apt.log" || { cat "$work/apt.log"; exit 1; }
    if command -v systemd-analyze > /dev/null; then
        systemd-analyze verify /usr/lib/systemd/system/pelvaro-access.service
    fi
    sqlite3 "$work/Messwerte.mdb" < /usr/share/pelvaro/schema.sql
    sqlite3 "$work/Messwerte.mdb" "INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'Testgerät');
                                   INSERT INTO Sensoren VALUES (1, 1, 1, 'Test');"
    status=0
    timeout --preserve-status -s TERM 5 /usr/bin/pelvaro-access --headless \
        --database "$work/Messwerte.mdb" > "$work/run.log" 2>&1 || status=$?
    apt-get purge -y -q pelvaro-access > /dev/null
    cat "$work/run.log"
    [ "$status" -eq 0 ] || { echo "installiertes Programm endete mit $status" >&2; exit 1; }
    grep -q 'Datenholung von Testgerät war erfolglos.' "$work/run.log"
    echo "Installiert, gestartet und beendet: in Ordnung."
fi
