#!/usr/bin/env bash
# The status page under clients that try to silence it, measured against the real program on
# loopback and printed, never asserted. One attack after the other, each for DURATION seconds
# (default 30), from 127.0.0.1 and, where it says so, from 127.0.0.10 to .17 as well:
#   none          no attacker, for comparison;
#   slowhttptest  Debian's slowhttptest, slowloris mode: 1000 connections at 200 a second, a
#                 header line every 5 s (installed here when missing; loopback only);
#   trickle       300 connections (from all nine addresses, as the next three) that send a header line every second, reopened when cut;
#   silent        500 connections that send nothing, reopened when cut;
#   abandoned     connections opened and closed (half of them reset) as fast as one thread can;
#   unread        100 pipelined requests per connection, answers never read, small buffers;
#   flood         eight keep-alive clients asking /api/status back to back;
#   garbage       header lines of 100 kB, a million headers, NUL bytes, again and again.
# Printed per attack: what a client from 127.0.0.2 got meanwhile (answers, failures, slowest), the
# durations of the passes that ran meanwhile, the time until 127.0.0.1 is answered again once the
# attacker is gone, and the program's peak RSS and descriptors after.
# Usage, from the project root after building: bench/page-attacks.sh [ATTACK...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELVARO_BUILD:-$root/build}"
work="$(mktemp -d)"
FIRST=19501
NDEV=10
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

attacks="${*:-none slowhttptest trickle silent abandoned unread flood garbage}"
if [[ " $attacks " == *" slowhttptest "* ]] && ! command -v slowhttptest > /dev/null; then
    # shellcheck source=../scripts/common.sh
    PELVARO_ROOT="$root" source "$root/scripts/common.sh"
    ensure_packages slowhttptest
fi

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

(cd "$work" && exec "$build/pelvaro-access" --headless --database "$work/Messwerte.mdb" \
    --status 127.0.0.1:0 > "$work/p.out" 2> "$work/p.err") &
prog=$!
pids+=($prog)
port=""
for _ in $(seq 100); do
    port="$(grep -o 'http://127.0.0.1:[0-9]*/' "$work/p.err" | grep -o '[0-9]*/$' | tr -d / || true)"
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/p.err"; exit 1; }
sleep 5
echo "Programm $prog, Statusseite auf 127.0.0.1:$port; je Angriff ${DURATION:-30} s"

python3 - "$port" "$prog" "${DURATION:-30}" $attacks <<'PY'
import json, os, socket, struct, subprocess, sys, threading, time

port, prog, duration = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
SOURCES = [f"127.0.0.{10 + i}" for i in range(8)]

def client(source="127.0.0.1", small=False):
    s = socket.socket()
    if small:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind((source, 0))
    s.setblocking(False)
    try:
        s.connect(("127.0.0.1", port))
    except BlockingIOError:
        pass
    return s

def get(path, source, timeout):
    """The answer's status and body, or None."""
    try:
        s = socket.socket()
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET " + path + b" HTTP/1.0\r\n\r\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        s.close()
        head, _, body = data.partition(b"\r\n\r\n")
        return int(head.split(b" ")[1]), body
    except (OSError, IndexError, ValueError):
        return None

def proc(field):
    for line in open(f"/proc/{prog}/status"):
        if line.startswith(field):
            return int(line.split()[1])

def fds():
    return len(os.listdir(f"/proc/{prog}/fd"))

def crowd(stop, count, sources, begin, again=None, every=1.0, small=False):
    """count connections that send begin once and again every `every` seconds; reopened when cut."""
    socks, sent = [None] * count, [False] * count
    while not stop.is_set():
        for i in range(count):
            s = socks[i]
            try:
                if s is None:
                    s = socks[i] = client(sources[i % len(sources)], small)
                    sent[i] = False
                if not sent[i]:
                    s.send(begin)
                    sent[i] = True
                elif again:
                    s.send(again)
                elif s.recv(1, socket.MSG_PEEK) == b"" and not small:
                    raise OSError
            except BlockingIOError:
                pass
            except OSError:
                s.close()
                socks[i] = None
        stop.wait(every)
    for s in socks:
        if s:
            s.close()

def abandoned(stop):
    i = 0
    while not stop.is_set():
        s = client(SOURCES[i % len(SOURCES)])
        if i % 2 == 0:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        i += 1
        if i % 200 == 0:
            time.sleep(0.01)

def flood(stop):
    def one():
        while not stop.is_set():
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=5)
                f = s.makefile("rb")
                for _ in range(1000):
                    if stop.is_set():
                        break
                    s.sendall(b"GET /api/status HTTP/1.1\r\nHost: x\r\n\r\n")
                    length = 0
                    while (line := f.readline()) not in (b"\r\n", b""):
                        if line.lower().startswith(b"content-length:"):
                            length = int(line.split(b":")[1])
                    f.read(length)
                s.close()
            except OSError:
                time.sleep(0.05)
    threads = [threading.Thread(target=one) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

def garbage(stop):
    inputs = [b"GET / HTTP/1.1\r\nX-Lang: " + b"a" * 100000 + b"\r\n\r\n",
              b"GET / HTTP/1.1\r\n" + b"X-a: b\r\n" * 1000000,
              b"GET /\0/x HTTP/1.1\r\nX-a: b\0c\r\n\r\n", b"\0" * 65536]
    i = 0
    while not stop.is_set():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.sendall(inputs[i % len(inputs)])
            while s.recv(65536):
                pass
        except OSError:
            pass
        s.close()
        i += 1

def slowhttptest(stop):
    p = subprocess.Popen(["slowhttptest", "-H", "-c", "1000", "-r", "200", "-i", "5",
                          "-l", str(int(duration)), "-u", f"http://127.0.0.1:{port}/healthz"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop.wait()
    p.terminate()
    p.wait()

ATTACKS = {
    "none": lambda stop: stop.wait(),
    "slowhttptest": slowhttptest,
    "trickle": lambda stop: crowd(stop, 300, ["127.0.0.1"] + SOURCES,
                                  b"GET / HTTP/1.1\r\nHost: x\r\n", b"X-Trickle: 1\r\n"),
    "silent": lambda stop: crowd(stop, 500, ["127.0.0.1"] + SOURCES, b""),
    "abandoned": abandoned,
    "unread": lambda stop: crowd(stop, 100, ["127.0.0.1"] + SOURCES,
                                 b"GET /uPlot.iife.min.js HTTP/1.1\r\nHost: x\r\n\r\n" * 100,
                                 small=True),
    "flood": flood,
    "garbage": garbage,
}

def passes(stop, seen):
    """The duration of each pass, in ms, as the page tells it, asked once a second."""
    while not stop.wait(1):
        answer = get(b"/api/status", "127.0.0.3", 5)
        if answer and answer[0] == 200:
            last = json.loads(answer[1])
            if last["letzterDurchgang"]:
                seen[last["durchgaenge"]] = last["letzterDurchgang"]["dauerSekunden"] * 1000

rest_fds, rest_rss = fds(), proc("VmRSS")
print(f"Ruhe: {rest_rss} kB RSS, {rest_fds} Deskriptoren")
for name in sys.argv[4:]:
    stop = threading.Event()
    attacker = threading.Thread(target=ATTACKS[name], args=(stop,))
    seen = {}
    watcher = threading.Thread(target=passes, args=(stop, seen))
    attacker.start()
    watcher.start()
    time.sleep(2)
    latencies, failures, end = [], 0, time.time() + duration - 2
    while time.time() < end:
        begin = time.time()
        answer = get(b"/healthz", "127.0.0.2", 5)
        if answer and answer[0] == 200:
            latencies.append((time.time() - begin) * 1000)
        else:
            failures += 1
        time.sleep(max(0, 0.5 - (time.time() - begin)))
    stop.set()
    attacker.join()
    watcher.join()
    gone = time.time()
    while get(b"/healthz", "127.0.0.1", 1) is None and time.time() - gone < 60:
        time.sleep(0.05)
    back = time.time() - gone
    time.sleep(2)
    durations = sorted(seen.values())
    passed = (f"{len(durations)} Durchgänge, Median {durations[len(durations) // 2]:.0f} ms, "
              f"höchstens {durations[-1]:.0f} ms" if durations else "keine Durchgänge gesehen")
    latencies.sort()
    slowest = f"{latencies[-1]:.0f}" if latencies else "-"
    median = f"{latencies[len(latencies) // 2]:.0f}" if latencies else "-"
    print(f"{name:13} 127.0.0.2: {len(latencies)} Antworten, {failures} ohne; Median {median} ms, "
          f"höchstens {slowest} ms | {passed} | danach wieder nach {back * 1000:.0f} ms | "
          f"Spitze {proc('VmHWM')} kB RSS, jetzt {proc('VmRSS')} kB, {fds()} Deskriptoren")
PY
