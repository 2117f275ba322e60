#!/usr/bin/env bash
# Builds the client and the relay simulator (quietly: the output goes to a log that is
# shown when the build fails), starts the simulator on 127.0.0.1, sends one message on
# each channel and shows each client line beside what the simulator decoded from the wire.
#
#   tools/demo.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
CLIENT="$BUILD/bin/fanout_client"
SIM="$BUILD/bin/fanout_relay_sim"
WORK=$(mktemp -d /tmp/fanout_demo_XXXXXX)

cleanup() {
    [ -f "$WORK/sim.pid" ] && kill "$(cat "$WORK/sim.pid")" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# A first configure builds only what the demo runs; an existing build folder keeps its
# settings (the build step configures again by itself when a CMake file changed).
build() {
    local log="$WORK/build.log"
    if ! {
        [ -f "$BUILD/CMakeCache.txt" ] ||
            cmake -S . -B "$BUILD" -DFANOUT_BUILD_TESTS=OFF -DFANOUT_BUILD_BENCH=OFF
        cmake --build "$BUILD" -j "$(nproc)" --target fanout_client fanout_relay_sim
    } >"$log" 2>&1; then
        cp "$log" "$BUILD/demo-build.log" 2>/dev/null || true
        tail -n 40 "$log" >&2
        echo "demo: the build failed (whole log: $BUILD/demo-build.log)" >&2
        exit 1
    fi
}

# Starts the simulator with the given options; returns once it listens.
start_sim() {
    "$SIM" --background --pid-file "$WORK/sim.pid" "$@" >"$WORK/sim.jsonl" 2>"$WORK/sim.err" ||
        { cat "$WORK/sim.err" >&2; exit 1; }
}

stop_sim() {
    kill "$(cat "$WORK/sim.pid")"
    for _ in $(seq 100); do
        [ -f "$WORK/sim.pid" ] || return 0
        sleep 0.05
    done
}

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

# The word as a shell reads it back: bare when it holds nothing special, else in single
# quotes.
shell_word() {
    local special="[][[:space:]'\"\\\$\`;&|<>()*?#~!{}]"
    if [[ -n $1 && ! $1 =~ $special ]]; then
        printf '%s' "$1"
    else
        printf "'%s'" "${1//\'/\'\\\'\'}"
    fi
}

# Runs the client with the arguments and shows the command, each word quoted so that it
# can be pasted back into a shell, then the client's line and what the relay decoded.
# GBK text is shown as UTF-8, in a command that says -d utf8 to match.
show() {
    local gbk=$1 seen cmd out status=0 words=() word
    shift
    seen=$(wc -l <"$WORK/sim.jsonl")
    if [ "$gbk" = gbk ]; then
        for word in "$@"; do
            words+=("$(printf '%s' "$word" | iconv -f GBK -t UTF-8)")
        done
        words+=(-d utf8)
    else
        words=("$@")
    fi
    cmd=fanout_client
    for word in "${words[@]}"; do
        cmd+=" $(shell_word "$word")"
    done
    echo "\$ $cmd"
    out=$("$CLIENT" "$@") || status=$?
    if [ "$gbk" = gbk ]; then
        out="$(printf '%s' "$out" | iconv -f GBK -t UTF-8)   (its GBK echo shown in UTF-8)"
    fi
    echo "  client (exit $status): $out"
    wait_lines "$WORK/sim.jsonl" $((seen + 1))
    echo "  relay decoded:"
    sed -n "$((seen + 1))p" "$WORK/sim.jsonl" |
        python3 -c 'import json,sys; print(json.dumps(json.loads(sys.stdin.read()), ensure_ascii=False, indent=2))' |
        sed 's/^/    /'
    echo
}

build
CLIENT=$(realpath "$CLIENT")
SIM=$(realpath "$SIM")
if ! taken=$(/usr/bin/python3 tools/check_ports.py 127.0.0.1); then
    echo "demo: $taken" >&2
    exit 1
fi
start_sim --save "$WORK/saved"

# GBK text: "ni hao" and "shi jie" in Chinese, written as GBK bytes.
NIHAO=$(printf '\xc4\xe3\xba\xc3')
SHIJIE=$(printf '\xca\xc0\xbd\xe7')
cd "$WORK"
printf 'first attachment\n' >notes.txt
head -c 3000 /dev/urandom >photo.jpg
cp photo.jpg image.bin
echo "(in $WORK, with the simulator from $SIM)"
echo

show gbk sms -T alice -c "$NIHAO"
show gbk zeph -T 'alice;bob' -S "$SHIJIE" -c "$NIHAO"
show utf8 lumo -T alice -c 'look at this' -i image.bin -d utf8
show gbk mail -T alice -C 'bob;carol' -S "$SHIJIE" -c "$NIHAO" -a 'notes.txt;photo.jpg'

echo "A failure looks like this (the simulator now answers result code 5):"
stop_sim
start_sim --result 5
show utf8 sms -T alice -c hello -d utf8
