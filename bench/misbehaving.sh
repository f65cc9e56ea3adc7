#!/usr/bin/env bash
# The program headless beside a device that streams without end, loopback only. For each kind of
# stream: passes and readings of the healthy device in DURATION seconds, resident memory after the
# first pass, at the end and at its peak, and the time from SIGTERM to the program's end (sent at
# the end, while a body stream is being fetched). Needs python3 and sqlite3.
#   bench/misbehaving.sh [build-dir]          DURATION=30 by default
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
DURATION=${DURATION:-30}
work=$(mktemp -d); sim=""; bad=""; prog=""
trap 'kill $sim $bad $prog 2>/dev/null; rm -rf "$work"' EXIT

"$build/pelvaro-devicesim" --sensors 1 > "$work/sim" & sim=$!
until grep -q bereit "$work/sim" 2>/dev/null; do sleep 0.1; done
healthy=$(head -1 "$work/sim")

# One device that answers every request with head, then filler for as long as the client reads.
serve_bad() {
    python3 - "$1" > "$work/bad" <<'EOF' &
import socket, sys, threading
kinds = {
    "status": (b"HTTP/1.1 200 OK", b"x" * 65536),
    "headers": (b"HTTP/1.1 200 OK\r\n", (b"X-Pad: " + b"a" * 55 + b"\r\n") * 1024),
    "401-body": (b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n\r\n", b"x" * 65536),
    "chunk-7FFF": (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFFFFFFFFFF\r\n",
                   b"x" * 65536),
}
head, filler = kinds[sys.argv[1]]
def stream(c):
    try:
        while b"\r\n\r\n" not in c.recv(4096): pass
        c.sendall(head)
        while True: c.sendall(filler)
    except OSError:
        c.close()
s = socket.create_server(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
while True:
    threading.Thread(target=stream, args=(s.accept()[0],), daemon=True).start()
EOF
    bad=$!
    until [ -s "$work/bad" ]; do sleep 0.1; done
}
kib() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }

for kind in status headers 401-body chunk-7FFF; do
    rm -f "$work/bad" "$work/out" "$work/Messwerte.mdb"
    serve_bad "$kind"
    sqlite3 "$work/Messwerte.mdb" < "$root/docs/schema.sql" > /dev/null
    sqlite3 "$work/Messwerte.mdb" "INSERT INTO Einstellungen VALUES ('MessIntervall', 2), ('Messungen', 5);
        INSERT INTO Geraete VALUES (1, '$healthy', 'Gut'),
        (2, '127.0.0.1:$(cat "$work/bad")', 'Schlecht'); INSERT INTO Sensoren VALUES (1, 1, 1, 'Vorlauf');"
    "$build/pelvarod" --database "$work/Messwerte.mdb" > "$work/out" 2>&1 & prog=$!
    until grep -q '^$' "$work/out" 2>/dev/null; do sleep 0.05; done
    first=$(kib $prog VmRSS)
    sleep "$DURATION"
    last=$(kib $prog VmRSS); peak=$(kib $prog VmHWM)
    start=$(date +%s%N); kill -TERM $prog; wait $prog; status=$?; end=$(date +%s%N); prog=""
    passes=$(grep -cE '^[0-9]{2}:[0-9]{2}:[0-9]{2} ' "$work/out")
    readings=$(grep -c '^Vorlauf:' "$work/out")
    printf '%-10s passes %3d readings %3d  rss first pass %6d kB end %6d kB peak %6d kB  SIGTERM: exit %d after %d ms\n' \
        "$kind" "$passes" "$readings" "$first" "$last" "$peak" "$status" $(((end - start) / 1000000))
    kill $bad; wait $bad 2>/dev/null; bad=""
done
