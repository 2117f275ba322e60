#!/bin/bash
# Instructions per request of fanout_relay_sim and fanout_relayd under the same load
# (relay_load, unique small requests): each server runs under callgrind twice, with a
# small and a larger request count, and the difference of their totals divided by the
# difference of the counts is the cost of one request without start-up and shutdown.
# Instruction counts, unlike req/s, hardly move with the machine's load. Run it in a
# network namespace of its own (it binds the ports of offset 7000):
#
#   unshare -n bash -c 'ip link set lo up; bench/relay_cost.sh build/bin [INFLIGHT] [OUTDIR]'
#
# Leaves the callgrind files of the larger runs in OUTDIR (callgrind_annotate reads them).
set -euo pipefail

BIN=$(cd "${1:?usage: relay_cost.sh BINDIR [INFLIGHT] [OUTDIR]}" && pwd)
INFLIGHT=${2:-16}
OUT=${3:-$(mktemp -d /tmp/relay_cost_XXXXXX)}
SMALL=1000
LARGE=5000
command -v valgrind >/dev/null || { echo "relay_cost: needs valgrind (apt-get install valgrind)" >&2; exit 2; }
mkdir -p "$OUT"
WRAP=$(mktemp -d /tmp/relay_cost_wrap_XXXXXX)
trap 'rm -rf "$WRAP"' EXIT

# relay_load starts each server itself: these wrappers put it under callgrind (not the
# relay's --dump, which counts the store afterwards).
for NAME in fanout_relay_sim fanout_relayd; do
    cat >"$WRAP/$NAME" <<WRAPPER
#!/bin/sh
case " \$* " in *" --dump "*) exec "$BIN/$NAME" "\$@" ;; esac
exec valgrind --tool=callgrind --callgrind-out-file="\$RELAY_COST_OUT/$NAME.out" "$BIN/$NAME" "\$@"
WRAPPER
    chmod +x "$WRAP/$NAME"
done

Total() {
    sed -n 's/^summary: //p' "$1"
}

for COUNT in $SMALL $LARGE; do
    mkdir -p "$OUT/$COUNT"
    RELAY_COST_OUT="$OUT/$COUNT" "$BIN/relay_load" --sim "$WRAP/fanout_relay_sim" \
        --relayd "$WRAP/fanout_relayd" --hold "" --inflight "$INFLIGHT" --requests "$COUNT" \
        --max-seconds 300 >"$OUT/$COUNT/relay_load.txt"
    if ! grep -q "(all)" "$OUT/$COUNT/relay_load.txt" ||
        grep -Eq "lost [1-9]|MISSING" "$OUT/$COUNT/relay_load.txt"; then
        echo "relay_cost: a request was lost or not stored:" >&2
        cat "$OUT/$COUNT/relay_load.txt" >&2
        exit 1
    fi
done

SIM=$((($(Total "$OUT/$LARGE/fanout_relay_sim.out") - $(Total "$OUT/$SMALL/fanout_relay_sim.out")) / (LARGE - SMALL)))
RELAYD=$((($(Total "$OUT/$LARGE/fanout_relayd.out") - $(Total "$OUT/$SMALL/fanout_relayd.out")) / (LARGE - SMALL)))
awk -v n="$INFLIGHT" -v s="$SIM" -v r="$RELAYD" 'BEGIN {
    printf "instructions per request, %d in flight: fanout_relay_sim %d, fanout_relayd %d (%.2fx)\n",
        n, s, r, r / s }'
echo "profiles: $OUT/$LARGE/fanout_relayd.out, $OUT/$LARGE/fanout_relay_sim.out"
