#!/usr/bin/env bash
# The status page with a users file (bcrypt, cost 10) and TLS, measured against the real program on
# loopback and printed, never asserted. Each phase runs DURATION seconds (default 30):
#   none      nobody but the watcher, for comparison;
#   wrong     20 logins a second with a wrong password each, from 127.0.0.10 to .17;
#   right     eight clients asking /api/status back to back with the right login.
# Printed: the program's RSS at rest without the page, with the page and TLS; per phase the
# passes that ran (as their logs on stdout count them, against those due; the median and longest
# duration of those the page showed a watcher), what a
# client with the right login from 127.0.0.2 got meanwhile, and the peak RSS after.
# Usage, from the project root after building: bench/page-logins.sh [PHASE...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELVARO_BUILD:-$root/build}"
work="$(mktemp -d)"
FIRST=19601
NDEV=10
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
phases="${*:-none wrong right}"

"$build/pelvaro-devicesim" --port $FIRST --count $NDEV --sensors 3 --lifetime 7200 > "$work/sim.out" &
pids+=($!)
sqlite3 "$work/Messwerte.mdb" < "$root/docs/schema.sql"
{
    echo "DELETE FROM Einstellungen; INSERT INTO Einstellungen VALUES ('MessIntervall', 2), ('Messungen', 5);"
    for i in $(seq 1 $NDEV); do
        echo "INSERT INTO Geraete VALUES ($i, '127.0.0.1:$((FIRST + i - 1))', 'Gerät $i');"
        echo "INSERT INTO Sensoren VALUES ($i, $i, 1, 'Sensor $i');"
    done
} | sqlite3 "$work/Messwerte.mdb"
for _ in $(seq 50); do grep -q '^bereit$' "$work/sim.out" && break; sleep 0.1; done
echo geheim | "$build/pelvarod" --hash-password anna > "$work/users"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2> /dev/null
chmod 600 "$work/users" "$work/key.pem"

# The program started as a service runs it; its RSS once it has settled.
start() {
    (cd "$work" && exec "$build/pelvarod" --database "$work/Messwerte.mdb" "$@" \
        > "$work/p.out" 2> "$work/p.err") &
    prog=$!
    pids+=($prog)
    sleep 8
}
rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

start
echo "Ruhe ohne Statusseite: $(rss $prog) kB RSS"
kill $prog; wait $prog || true
start --status 127.0.0.1:0
echo "Ruhe mit Statusseite (HTTP, ohne Anmeldung): $(rss $prog) kB RSS"
kill $prog; wait $prog || true
start --status 127.0.0.1:0 --status-users "$work/users" --status-cert "$work/cert.pem" \
    --status-key "$work/key.pem"
port="$(grep -o 'https://127.0.0.1:[0-9]*/' "$work/p.err" | grep -o '[0-9]*/$' | tr -d /)"
echo "Ruhe mit Statusseite, TLS und Benutzerdatei: $(rss $prog) kB RSS; je Phase ${DURATION:-30} s"

python3 - "$port" "$prog" "${DURATION:-30}" "$work/cert.pem" "$work/p.out" $phases <<'PY'
import base64, json, re, socket, ssl, sys, threading, time

port, prog, duration, ca, log = (int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]),
                                 sys.argv[4], sys.argv[5])
STAMP = re.compile(rb"^\d\d:\d\d:\d\d \d\d\.\d\d\.\d{4}", re.M)

def logged_passes():
    """The passes whose log reached stdout so far."""
    return len(STAMP.findall(open(log, "rb").read()))
context = ssl.create_default_context(cafile=ca)

def get(path, source, login, timeout=10):
    """The answer's status and body, or None."""
    try:
        raw = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                       source_address=(source, 0))
        s = context.wrap_socket(raw, server_hostname="127.0.0.1")
        auth = base64.b64encode(login.encode()).decode()
        s.sendall(f"GET {path} HTTP/1.0\r\nAuthorization: Basic {auth}\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        s.close()
        head, _, body = data.partition(b"\r\n\r\n")
        return int(head.split(b" ")[1]), body
    except (OSError, IndexError, ValueError):
        return None

def peak():
    for line in open(f"/proc/{prog}/status"):
        if line.startswith("VmHWM"):
            return int(line.split()[1])

def wrong(stop):
    i = 0
    while not stop.is_set():
        begin = time.time()
        threading.Thread(target=get, args=("/", f"127.0.0.{10 + i % 8}", f"anna:falsch{i}"),
                         daemon=True).start()
        i += 1
        stop.wait(max(0, 0.05 - (time.time() - begin)))

def right(stop):
    def one():
        while not stop.is_set():
            get("/api/status", "127.0.0.1", "anna:geheim")
    threads = [threading.Thread(target=one) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

PHASES = {"none": lambda stop: stop.wait(), "wrong": wrong, "right": right}

def passes(stop, seen):
    while not stop.wait(1):
        answer = get("/api/status", "127.0.0.3", "anna:geheim")
        if answer and answer[0] == 200:
            last = json.loads(answer[1])
            if last["letzterDurchgang"]:
                seen[last["durchgaenge"]] = last["letzterDurchgang"]["dauerSekunden"] * 1000

for name in sys.argv[6:]:
    stop, seen = threading.Event(), {}
    before = logged_passes()
    threads = [threading.Thread(target=PHASES[name], args=(stop,)),
               threading.Thread(target=passes, args=(stop, seen))]
    for t in threads:
        t.start()
    latencies, failures, end = [], 0, time.time() + duration
    while time.time() < end:
        begin = time.time()
        answer = get("/api/status", "127.0.0.2", "anna:geheim")
        if answer and answer[0] == 200:
            latencies.append((time.time() - begin) * 1000)
        else:
            failures += 1
        time.sleep(max(0, 0.5 - (time.time() - begin)))
    stop.set()
    for t in threads:
        t.join()
    durations = sorted(seen.values())
    ran = (f"{logged_passes() - before} Durchgänge ({duration / 2:.0f} fällig), davon "
           f"{len(durations)} gesehen: Median {durations[len(durations) // 2]:.0f} ms, "
           f"höchstens {durations[-1]:.0f} ms" if durations else "keine Durchgänge gesehen")
    latencies.sort()
    median = f"{latencies[len(latencies) // 2]:.0f}" if latencies else "-"
    slowest = f"{latencies[-1]:.0f}" if latencies else "-"
    print(f"{name:6} {ran} | 127.0.0.2: {len(latencies)} Antworten, {failures} ohne, Median "
          f"{median} ms, höchstens {slowest} ms | Spitze {peak()} kB RSS")
PY
grep -c "falsche Anmeldung" "$work/p.err" | sed 's/^/Journalzeilen zu falschen Anmeldungen: /'
