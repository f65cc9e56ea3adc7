#!/usr/bin/env bash
# Builds Pelvaro and runs it. Without a database beside the binary it creates the demo database
# build/Messwerte.mdb (it never overwrites one) and starts simulated devices on loopback, so the
# window (build/pelvaro-access) shows real readings and averages land in the table Werte. Without
# a display it runs the service program build/pelvarod, which prints every polling pass until
# Ctrl-C. The status page is on at http://127.0.0.1:18080/ (PELVARO_STATUS=ADRESSE:PORT for
# another, PELVARO_STATUS= for none), with the login "demo" and a random password that is shown
# when it is made. Further arguments go to the program.
set -euo pipefail
PELVARO_ROOT="$(cd "$(dirname "$0")" && pwd)"
source "$PELVARO_ROOT/scripts/common.sh"

ensure_packages
# Only what runs here: the two programs and the simulated devices, no tests or benchmarks.
PELVARO_TARGETS="pelvaro-access pelvarod pelvaro-devicesim" build_tree "$PELVARO_ROOT/build"

database="$PELVARO_ROOT/build/Messwerte.mdb"
if [ ! -e "$database" ]; then
    sqlite3 "$database" < "$PELVARO_ROOT/docs/schema.sql" > /dev/null
    sqlite3 "$database" < "$PELVARO_ROOT/scripts/demo.sql"
    echo "Demo-Datenbank angelegt: $database"
fi

# The demo devices: three that answer, one that is switched off.
simulator_out="$(mktemp)"
"$PELVARO_ROOT/build/pelvaro-devicesim" --port 18081 --count 4 --sensors 3 --behaviour 4=refused \
    > "$simulator_out" &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true; rm -f "$simulator_out"' EXIT
for _ in $(seq 50); do
    grep -q '^bereit$' "$simulator_out" && break
    kill -0 "$simulator" 2>/dev/null || { echo "Simulierte Geräte nicht gestartet (Ports 18081-18084 belegt?)." >&2; break; }
    sleep 0.1
done

program="$PELVARO_ROOT/build/pelvaro-access"
mode=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Kein Bildschirm: Pelvaro läuft ohne Fenster (pelvarod), Ende mit Strg+C."
    program="$PELVARO_ROOT/build/pelvarod"
fi
status_address="${PELVARO_STATUS-127.0.0.1:18080}"
if [ -n "$status_address" ]; then
    mode+=(--status "$status_address")
    case "$status_address" in
        *:*) echo "Statusseite: http://$status_address/" ;;
        *) echo "Statusseite: http://127.0.0.1:$status_address/" ;;
    esac
    # The page asks for a login: user "demo" with a random password, made once and shown once
    # (only its hash is kept). A new one: rm build/demo-benutzer.
    users="$PELVARO_ROOT/build/demo-benutzer"
    if [ ! -e "$users" ]; then
        password="$(head -c 12 /dev/urandom | base64 | tr '+/' '-_')"
        (umask 077 && printf '%s\n' "$password" | "$PELVARO_ROOT/build/pelvarod" --hash-password demo > "$users")
        echo "Anmeldung an der Statusseite: Benutzer demo, Passwort $password"
        echo "  (nur jetzt angezeigt; ein neues mit: rm $users)"
    else
        echo "Anmeldung an der Statusseite: Benutzer demo, Passwort wie beim ersten Start angezeigt"
        echo "  (ein neues mit: rm $users)"
    fi
    mode+=(--status-users "$users")
    echo "Geräte einrichten: die Statusseite, oben „Einrichtung“ (README: Setting it up from the page)"
fi
status=0
"$program" "${mode[@]}" "$@" || status=$?
echo "Gespeicherte Mittelwerte: sqlite3 $database 'SELECT * FROM Werte ORDER BY rowid DESC LIMIT 10'"
exit "$status"
