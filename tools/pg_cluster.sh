#!/bin/sh
# A throw-away PostgreSQL cluster for tests and benchmarks, listening on 127.0.0.1 only,
# on a free port, with trust authentication.
#
#   tools/pg_cluster.sh start STATE_DIR   creates the cluster, starts it, prints its URL
#   tools/pg_cluster.sh url STATE_DIR     prints the URL again
#   tools/pg_cluster.sh stop STATE_DIR    stops it and removes its files and STATE_DIR
#
# STATE_DIR holds what the commands share (the URL, the data folder's path); the data
# folder itself lives under /tmp, owned by the `postgres` user when run as root (the
# server refuses to run as root). Without server binaries, start prints a line saying so
# and exits 3. Every wait is bounded.
set -eu

PG_BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}
WAIT_S=30

usage() {
    echo "usage: $0 start|url|stop STATE_DIR" >&2
    exit 2
}

# Runs a command as the cluster's owner.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
    if [ ! -x "$PG_BIN/initdb" ] || [ ! -x "$PG_BIN/pg_ctl" ]; then
        echo "PostgreSQL server binaries not found in $PG_BIN"
        exit 3
    fi
    mkdir -p "$STATE"
    data=$(mktemp -d /tmp/fanout-pg.XXXXXX)
    echo "$data" >"$STATE/data"
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres: "$data"
    fi
    as_owner "$PG_BIN/initdb" -D "$data/db" -U postgres --auth=trust --no-sync \
        -E UTF8 --locale=C >"$data/initdb.log" 2>&1 || {
        cat "$data/initdb.log" >&2
        exit 1
    }
    # A port found free may be taken before the server binds it: try a few.
    for _ in 1 2 3; do
        port=$(free_port)
        if as_owner "$PG_BIN/pg_ctl" -D "$data/db" -l "$data/server.log" -w -t "$WAIT_S" \
            -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=''" \
            start >/dev/null 2>&1; then
            echo "postgresql://postgres@127.0.0.1:$port/postgres" >"$STATE/url"
            cat "$STATE/url"
            return 0
        fi
    done
    cat "$data/server.log" >&2
    exit 1
}

stop() {
    [ -f "$STATE/data" ] || return 0
    data=$(cat "$STATE/data")
    if [ -f "$data/db/postmaster.pid" ]; then
        as_owner "$PG_BIN/pg_ctl" -D "$data/db" -m immediate -w -t "$WAIT_S" stop \
            >/dev/null 2>&1 || true
    fi
    case "$data" in
    /tmp/fanout-pg.*) rm -rf "$data" ;;
    esac
    rm -rf "$STATE"
}

[ $# -eq 2 ] || usage
STATE=$2
case "$1" in
start) start ;;
url) cat "$STATE/url" ;;
stop) stop ;;
*) usage ;;
esac
