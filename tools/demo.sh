#!/usr/bin/env bash
# Starts the relay simulator on 127.0.0.1, sends one message on each channel with the
# client, and shows each client line beside what the simulator decoded from the wire.
set -euo pipefail
BUILD=${1:-build}
CLIENT="$BUILD/bin/fanout_client"
SIM="$BUILD/bin/fanout_relay_sim"
WORK=$(mktemp -d /tmp/fanout_demo_XXXXXX)
SIM_PID=""

cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# Waits (bounded) until FILE has at least N lines.
wait_lines() {
    local file=$1 n=$2
    for _ in $(seq 100); do
        [ "$(wc -l <"$file")" -ge "$n" ] && return 0
        sleep 0.05
    done
    echo "demo: the simulator did not answer in time" >&2
    return 1
}

"$SIM" --save "$WORK/saved" >"$WORK/sim.jsonl" 2>"$WORK/sim.err" &
SIM_PID=$!
for _ in $(seq 100); do
    grep -q listening "$WORK/sim.err" 2>/dev/null && break
    sleep 0.05
done
grep -q listening "$WORK/sim.err" || { cat "$WORK/sim.err" >&2; exit 1; }

# GBK text: "ni hao" and "shi jie" in Chinese, written as GBK bytes.
NIHAO=$(printf '\xc4\xe3\xba\xc3')
SHIJIE=$(printf '\xca\xc0\xbd\xe7')
printf 'first attachment\n' >"$WORK/notes.txt"
head -c 3000 /dev/urandom >"$WORK/photo.jpg"
cp "$WORK/photo.jpg" "$WORK/image.bin"

show() {
    local gbk=$1
    shift
    local seen
    seen=$(wc -l <"$WORK/sim.jsonl")
    local cmd="\$ fanout_client $*"
    [ "$gbk" = gbk ] && cmd=$(printf '%s' "$cmd" | iconv -f GBK -t UTF-8)
    echo "$cmd  (text given in $gbk)"
    local out status=0
    out=$("$CLIENT" "$@") || status=$?
    if [ "$gbk" = gbk ]; then
        out=$(printf '%s' "$out" | iconv -f GBK -t UTF-8)
        echo "  client (exit $status, GBK echo shown as UTF-8): $out"
    else
        echo "  client (exit $status): $out"
    fi
    wait_lines "$WORK/sim.jsonl" $((seen + 1))
    echo "  relay decoded:"
    sed -n "$((seen + 1))p" "$WORK/sim.jsonl" |
        python3 -c 'import json,sys; print(json.dumps(json.loads(sys.stdin.read()), ensure_ascii=False, indent=2))' |
        sed 's/^/    /'
    echo
}

show gbk sms -T alice -c "$NIHAO"
show gbk zeph -T 'alice;bob' -S "$SHIJIE" -c "$NIHAO"
show utf8 lumo -T alice -c 'look at this' -i "$WORK/image.bin" -d utf8
show gbk mail -T alice -C 'bob;carol' -S "$SHIJIE" -c "$NIHAO" -a "$WORK/notes.txt;$WORK/photo.jpg"

echo "A failure looks like this (the simulator now answers result code 5):"
kill "$SIM_PID"; wait "$SIM_PID" 2>/dev/null || true
"$SIM" --result 5 >"$WORK/sim.jsonl" 2>"$WORK/sim.err" &
SIM_PID=$!
for _ in $(seq 100); do grep -q listening "$WORK/sim.err" 2>/dev/null && break; sleep 0.05; done
show utf8 sms -T alice -c hello -d utf8
