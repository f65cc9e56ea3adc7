#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests and the benchmark: its own data folder, a Unix socket
# in that folder only and no TCP listener, so no system cluster and no port is touched. As root it
# runs as user postgres, which PostgreSQL requires.
#   pgserver.sh start DIR    create DIR, initdb into it, start, create the database pelvaro
#   pgserver.sh stop DIR     stop the server and remove DIR
#   pgserver.sh pause DIR    stop the server and keep its data (an outage)
#   pgserver.sh resume DIR   start it again after pause
# Clients connect with postgresql://pelvaro@/pelvaro?host=DIR (trust: no password).
set -euo pipefail

command=${1:-}
dir=${2:-}
if [ -z "$command" ] || [ -z "$dir" ] || [ "${dir#/}" = "$dir" ]; then
    echo "Aufruf: $0 start|stop|pause|resume ABSOLUTER-ORDNER" >&2
    exit 2
fi

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    echo "pgserver.sh: PostgreSQL fehlt (Debian-Paket postgresql, ./test.sh installiert es)." >&2
    exit 1
fi

# The server's own programs refuse to run as root.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        (cd / && runuser -u postgres -- "$@")
    else
        "$@"
    fi
}

pg_ctl_() {
    as_owner "$bindir/pg_ctl" -D "$dir/data" "$@"
}

resume() {
    if ! pg_ctl_ start -w -t 30 -l "$dir/server.log" \
        -o "-c listen_addresses='' -c unix_socket_directories='$dir'" >/dev/null; then
        echo "pgserver.sh: Der Server in $dir startet nicht:" >&2
        cat "$dir/server.log" >&2 || true
        exit 1
    fi
}

case "$command" in
    start)
        # A server left running by an interrupted run would hold the socket.
        if [ -f "$dir/data/postmaster.pid" ]; then
            pg_ctl_ stop -m immediate >/dev/null 2>&1 || true
        fi
        rm -rf "$dir"
        mkdir -p "$dir"
        chmod 700 "$dir"
        if [ "$(id -u)" -eq 0 ]; then
            chown postgres: "$dir"
        fi
        as_owner "$bindir/initdb" -D "$dir/data" -U pelvaro -A trust -E UTF8 --locale=C \
            --no-sync >"$dir/initdb.log" 2>&1 || {
            cat "$dir/initdb.log" >&2
            exit 1
        }
        resume
        as_owner "$bindir/createdb" -h "$dir" -U pelvaro pelvaro
        ;;
    stop)
        if [ -f "$dir/data/postmaster.pid" ]; then
            pg_ctl_ stop -m fast >/dev/null
        fi
        rm -rf "$dir"
        ;;
    pause)
        pg_ctl_ stop -m fast >/dev/null
        ;;
    resume)
        resume
        ;;
    *)
        echo "Aufruf: $0 start|stop|pause|resume ORDNER" >&2
        exit 2
        ;;
esac
