#!/usr/bin/env bash
# Builds the two Debian packages with CPack from a build tree, lists their contents and checks
# them: pelvarod (the service: binary, unit, schemas; no GUI library among its dependencies) and
# pelvaro-access (the program with its window, which opens and ends on SIGTERM).
#   scripts/check-package.sh [--install]   the packages of build/ (PELVARO_BUILD: another tree)
#   scripts/check-package.sh ARCH          arm64 or armhf: the packages ./package.sh ARCH makes
#                                          (it runs it), their programs run under qemu (below)
# --install (root only; for CI) also installs both with apt-get, runs the installed service
# program for a few seconds against a fresh database, and removes the packages again.
# With ARCH the binaries also run under emulation beside this machine's own build (build/, whose
# service and device simulator it builds as ./run.sh does): the cross-built pelvarod and
# pelvaro-access (offscreen) poll the same simulated devices for a few passes, store their
# averages and end on SIGTERM with 0, and their averages must equal those of the machine's build.
set -euo pipefail
PELVARO_ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$PELVARO_ROOT/scripts/common.sh"
fail() { echo "$*" >&2; exit 1; }

install=""
native="$(dpkg --print-architecture)"
arch="$native"
case "${1:-}" in
    "") ;;
    --install) install=yes ;;
    "$native" | arm64 | armhf) arch="$1" ;;
    *) fail "Aufruf: scripts/check-package.sh [--install | arm64 | armhf]" ;;
esac
run=()
work="$(mktemp -d)"
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"' EXIT
if [ "$arch" != "$native" ]; then
    "$PELVARO_ROOT/package.sh" "$arch" > "$work/package.log" || { cat "$work/package.log"; exit 1; }
    daemon="$(tail -n 2 "$work/package.log" | grep '/pelvarod_')"
    window="$(tail -n 2 "$work/package.log" | grep '/pelvaro-access_')"
    PELVARO_TARGETS="pelvarod pelvaro-devicesim" build_tree "$PELVARO_ROOT/build" > /dev/null
    # Foreign binaries run through qemu's user emulation; their libraries are the target's,
    # installed through multiarch in /usr/lib/<triplet>, so the emulated loader finds them under /.
    case "$arch" in
        arm64) run=(qemu-aarch64-static) machine='ARM aarch64' ;;
        armhf) run=(qemu-arm-static) machine='ARM, EABI5 .*interpreter /lib/ld-linux-armhf\.so\.3' ;;
    esac
    export QEMU_LD_PREFIX=/
else
    (cd "${PELVARO_BUILD:-$PELVARO_ROOT/build}" && cpack -G DEB -B "$work/out" > "$work/cpack.log") \
        || { cat "$work/cpack.log"; exit 1; }
    daemon="$(ls "$work"/out/pelvarod_*_"$arch".deb)"
    window="$(ls "$work"/out/pelvaro-access_*_"$arch".deb)"
fi
for deb in "$daemon" "$window"; do
    echo "Paket: $(basename "$deb") ($(stat -c %s "$deb") Bytes)"
    dpkg-deb -c "$deb" | tee "$work/$(basename "$deb").contents"
    echo "Depends: $(dpkg-deb -f "$deb" Depends)"
    echo "Recommends: $(dpkg-deb -f "$deb" Recommends)"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$(basename "$deb") nicht für $arch"
    dpkg-deb -f "$deb" Depends | grep -q 'libqt6core6' || fail "$(basename "$deb") ohne Qt Core"
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
# A server install pulls in no GUI library: neither the package nor the binary names one. The
# binary's libraries are listed by its own loader, which is what ldd runs.
if dpkg-deb -f "$daemon" Depends | grep -E 'libqt6(widgets|gui)|qt6-qpa|libx11'; then
    fail "pelvarod hängt von einer Fenster-Bibliothek ab"
fi
binary="$work/root/usr/bin/pelvarod"
loader="$(readelf -l "$binary" | sed -n 's/.*program interpreter: \(.*\)]$/\1/p')"
"${run[@]}" "$loader" --list "$binary" > "$work/libraries" || fail "$loader --list $binary"
if grep -E 'libQt6(Widgets|Gui)' "$work/libraries"; then
    fail "pelvarod lädt Fenster-Bibliotheken"
fi
grep -q 'libQt6Core' "$work/libraries" || fail "pelvarod lädt Qt Core nicht"
dpkg-deb -f "$window" Depends | grep -q 'libqt6widgets6' || fail "pelvaro-access ohne Qt Widgets"
if [ "$arch" != "$native" ]; then
    for program in pelvarod pelvaro-access; do
        file "$work/root/usr/bin/$program" | tee /dev/stderr | grep -q "$machine" \
            || fail "$program ist kein Programm für $arch"
    done
fi
grep -q '^ExecStart=/usr/bin/pelvarod --database' "$work/root/usr/lib/systemd/system/pelvarod.service" \
    || fail "Unit startet nicht /usr/bin/pelvarod"
"${run[@]}" "$work/root/usr/bin/pelvarod" --version | grep -q '^pelvarod .* 1\.00$'
"${run[@]}" "$work/root/usr/bin/pelvaro-access" --version | grep -q '^pelvaro-access .* 1\.00$'

# The stripped window program opens its window (offscreen), and SIGTERM ends it with 0.
sqlite3 "$work/fenster.mdb" < "$work/root/usr/share/pelvaro/schema.sql" > /dev/null
sqlite3 "$work/fenster.mdb" "INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'Testgerät');
                             INSERT INTO Sensoren VALUES (1, 1, 1, 'Test');"
status=0
QT_QPA_PLATFORM=offscreen timeout --preserve-status -s TERM 5 \
    "${run[@]}" "$work/root/usr/bin/pelvaro-access" \
    --database "$work/fenster.mdb" > "$work/window.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$work/window.log"; fail "mit Fenster endete es mit $status"; }

if [ -n "$install" ]; then
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
[ "$arch" != "$native" ] || exit 0

# Emulated beside native: three simulated devices with fixed readings (the third refuses
# connections), a poll a second and an average of every three. The sensors read a decimal, one
# whose average of three is not the reading itself (0.1 + 0.1 + 0.1 is not 0.3), a negative
# number, a large one, "no reading" (t5, below -9999) and an element the page lacks (t6, read as
# 0). The service's pass log comes from stdout, the window's averages from its database.
"$PELVARO_ROOT/build/pelvaro-devicesim" --count 3 --sensors 5 --readings 21.5,0.1,-3.25,1234567.891 \
    --behaviour 3=refused > "$work/devices" &
pids+=($!)
for _ in $(seq 50); do
    grep -q '^bereit$' "$work/devices" && break
    sleep 0.1
done
mapfile -t devices < <(grep '^127\.0\.0\.1:' "$work/devices")
[ ${#devices[@]} -eq 3 ] || fail "simulierte Geräte nicht gestartet: $(cat "$work/devices")"
declare -A program=([native]="$PELVARO_ROOT/build/pelvarod"
                    [daemon]="$work/root/usr/bin/pelvarod"
                    [window]="$work/root/usr/bin/pelvaro-access")
for name in native daemon window; do
    sqlite3 "$work/$name.mdb" < "$work/root/usr/share/pelvaro/schema.sql"
    sqlite3 "$work/$name.mdb" "
        INSERT INTO Einstellungen VALUES ('MessIntervall', 1), ('Messungen', 3);
        INSERT INTO Geraete VALUES (1, '${devices[0]}', 'Eins'), (2, '${devices[1]}', 'Zwei'),
                                   (3, '${devices[2]}', 'Drei (aus)');
        INSERT INTO Sensoren VALUES (11, 1, 1, 'Dezimal'), (12, 1, 2, 'Zehntel'),
            (13, 1, 3, 'Negativ'), (14, 1, 4, 'Groß'), (15, 1, 5, 'Kein Messwert'),
            (16, 1, 6, 'Fehlt'), (22, 2, 2, 'Zehntel zwei'), (31, 3, 1, 'Aus');"
    prefix=("${run[@]}")
    [ "$name" != native ] || prefix=()
    QT_QPA_PLATFORM=offscreen "${prefix[@]}" "${program[$name]}" --database "$work/$name.mdb" \
        > "$work/$name.log" 2>&1 &
    pids+=($!)
    declare "pid_$name=$!"
done
# Two whole stores each; a store at the end may average fewer polls and is not compared.
stores() { sqlite3 "$work/$1.mdb" "SELECT count(DISTINCT Zeit) FROM Werte" 2> /dev/null || echo 0; }
for _ in $(seq 120); do
    [ "$(stores native)" -ge 2 ] && [ "$(stores daemon)" -ge 2 ] && [ "$(stores window)" -ge 2 ] \
        && break
    sleep 0.5
done
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
echo "Ruhender Speicher (VmRSS) nach zwei Mittelwerten: pelvarod $native $(rss "$pid_native") kB," \
    "pelvarod $arch unter ${run[0]} $(rss "$pid_daemon") kB," \
    "pelvaro-access $arch unter ${run[0]} $(rss "$pid_window") kB"
for name in native daemon window; do
    pid="pid_$name"
    kill -TERM "${!pid}"
    status=0
    wait "${!pid}" || status=$?
    [ "$status" -eq 0 ] || { cat "$work/$name.log"; fail "$name endete mit $status"; }
done
grep -q 'Datenholung von Drei (aus) war erfolglos.' "$work/daemon.log" \
    || { cat "$work/daemon.log"; fail "pelvarod $arch: kein Durchgang im Protokoll"; }
averages() {
    sqlite3 "$work/$1.mdb" "SELECT SensorNummer, MessWert FROM Werte WHERE Zeit IN
        (SELECT DISTINCT Zeit FROM Werte ORDER BY Zeit LIMIT 2) ORDER BY Zeit, SensorNummer"
}
averages native > "$work/native.werte"
[ "$(wc -l < "$work/native.werte")" -ge 10 ] || fail "zu wenige Mittelwerte: $(cat "$work/native.werte")"
for name in daemon window; do
    averages "$name" | diff -u "$work/native.werte" - \
        || fail "Mittelwerte von $name ($arch) weichen von $native ab"
done
echo "Mittelwerte in Werte, gleich für $native und $arch (pelvarod und pelvaro-access):"
sort -u "$work/native.werte"
echo "$arch: gebaut, verpackt, unter Emulation gestartet und beendet: in Ordnung."
