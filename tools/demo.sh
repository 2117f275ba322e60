#!/usr/bin/env bash
# The whole system on one machine. Builds the client and the relay server (quietly: the
# output goes to a log that is shown when the build fails), starts a local SMTP server
# and an HTTP receiver (the test peers of tests/peers/), starts fanout_relayd in a scratch
# folder configured to deliver to them, sends one message on each channel with the
# client, shows each message's record from the relay's API and what the peers received,
# then one refusal, and stops everything.
#
#   tools/demo.sh [BUILD_DIR]      (default: build)
#
# It needs the relay's fixed ports free on 127.0.0.1: the channel ports 12460-12463 that
# the client sends to, and 12464 (web inbox and API). The peers take free ports.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
CLIENT="$BUILD/bin/fanout_client"
RELAYD="$BUILD/bin/fanout_relayd"
PY=/usr/bin/python3
PEERS=$PWD/tests/peers
API=http://127.0.0.1:12464/api/v1
WAIT_S=10 # the longest the demo waits for a start or a delivery
WORK=$(mktemp -d /tmp/fanout_demo_XXXXXX)
PIDS=()

# True when the process has exited (gone, or a zombie not yet reaped).
exited() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 0
    [ "${state:0:1}" = Z ]
}

# Stops each process started here: SIGTERM, then SIGKILL after WAIT_S seconds.
stop_all() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq $((WAIT_S * 20))); do
            exited "$pid" && break
            sleep 0.05
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    PIDS=()
}

cleanup() {
    stop_all
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
        cmake --build "$BUILD" -j "$(nproc)" --target fanout_client fanout_relayd
    } >"$log" 2>&1; then
        cp "$log" "$BUILD/demo-build.log" 2>/dev/null || true
        tail -n 40 "$log" >&2
        echo "demo: the build failed (whole log: $BUILD/demo-build.log)" >&2
        exit 1
    fi
}

# wait_for PID FILE PATTERN WHAT: waits (bounded) until FILE has a line matching PATTERN;
# fails, showing the process's standard error, when PID exits first or time runs out.
wait_for() {
    local pid=$1 file=$2 pattern=$3 what=$4
    for _ in $(seq $((WAIT_S * 20))); do
        grep -q -- "$pattern" "$file" 2>/dev/null && return 0
        exited "$pid" && break
        sleep 0.05
    done
    cat "${file%.*}.err" >&2 2>/dev/null || true
    echo "demo: $what did not start" >&2
    exit 1
}

# wait_lines FILE N WHAT: waits (bounded) until FILE has at least N lines.
wait_lines() {
    local file=$1 n=$2
    for _ in $(seq $((WAIT_S * 20))); do
        [ "$(wc -l <"$file")" -ge "$n" ] && return 0
        sleep 0.05
    done
    echo "demo: $3 received nothing in $WAIT_S s" >&2
    exit 1
}

# start_peer NAME SCRIPT: starts a test peer on a free loopback port, with each message
# it gets as a JSON line in $WORK/NAME.jsonl; sets PEER_PORT once it listens.
start_peer() {
    local name=$1 script=$2
    "$PY" "$PEERS/$script" --quiet --out "$WORK/$name.jsonl" \
        </dev/null >"$WORK/$name.out" 2>"$WORK/$name.err" &
    PIDS+=($!)
    wait_for $! "$WORK/$name.out" '"ready"' "the $name peer ($script)"
    PEER_PORT=$(sed -n 's/.*"port": \([0-9]*\).*/\1/p' "$WORK/$name.out")
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

# Prints "$ " and the command, each word quoted so that it can be pasted into a shell.
show_command() {
    local cmd="\$" word
    for word in "$@"; do
        cmd+=" $(shell_word "$word")"
    done
    echo "$cmd"
}

# pretty PROGRAM: reads JSON on standard input and prints the object that PROGRAM, a Python
# expression of the decoded value v, makes of it: one key per line, text as UTF-8.
pretty() {
    "$PY" -c 'import base64, json, sys
v = json.load(sys.stdin)
shown = eval(sys.argv[1])
print("{" + ",\n ".join(json.dumps(k) + ": " + json.dumps(x, ensure_ascii=False)
                        for k, x in shown.items()) + "}")' "$1" | sed 's/^/    /'
}

# Runs the client with the arguments and shows the command, then the client's line.
# GBK text is shown as UTF-8, in a command that says -d utf8 to match.
send() {
    local gbk=$1 out status=0 words=() word
    shift
    if [ "$gbk" = gbk ]; then
        for word in "$@"; do
            words+=("$(printf '%s' "$word" | iconv -f GBK -t UTF-8)")
        done
        words+=(-d utf8)
    else
        words=("$@")
    fi
    show_command fanout_client "${words[@]}"
    out=$("$CLIENT" "$@") || status=$?
    if [ "$gbk" = gbk ]; then
        out="$(printf '%s' "$out" | iconv -f GBK -t UTF-8)   (its GBK echo shown in UTF-8)"
    fi
    echo "  client (exit $status): $out"
}

# Shows the channel's message as the relay's API has it once delivered (the query waits
# for it), or fails with its status when it is not delivered in time.
show_record() {
    local channel=$1 url="$API/messages?channel=$1&status=delivered&wait=$WAIT_S" answer
    echo "  its record, once delivered:"
    show_command curl -s "$url" | sed 's/^/  /'
    answer=$(curl -s --max-time $((WAIT_S + 5)) "$url") || true
    if ! "$PY" -c 'import json, sys; sys.exit(json.loads(sys.argv[1])["total"] != 1)' \
        "$answer" 2>/dev/null; then
        echo "demo: the $channel message was not delivered in $WAIT_S s; the relay has:" >&2
        curl -s --max-time 5 "$API/messages?channel=$channel" >&2
        exit 1
    fi
    # The fields that matter here, in reading order (the record has more; an attachment
    # also has its index and SHA-256).
    printf '%s' "$answer" | pretty '{k: r[k] if k != "attachments" else
        ["%s (%d bytes)" % (a["name"], a["size"]) for a in r[k]]
        for r in v["messages"] for k in ("id", "channel", "status", "receivers", "cc", "title",
                                          "content", "attachments", "image_size", "attempts")
        if (k != "image_size" or r["channel"] == "lumo")
        and (k not in ("cc", "attachments") or r["channel"] == "mail")}'
}

# Shows what the webhook receiver got in its Nth request: the request line, the id
# header and the JSON body (the image as its length).
show_webhook() {
    local request
    wait_lines "$WORK/http.jsonl" "$1" "the webhook receiver"
    request=$(sed -n "${1}p" "$WORK/http.jsonl")
    "$PY" -c 'import json, sys
v = json.loads(sys.argv[1])
print("  what the webhook receiver got: %s %s, X-Fanout-Id: %s, body:"
      % (v["method"], v["path"], v["headers"].get("x-fanout-id")))' "$request"
    printf '%s' "$request" | pretty '{k: (x if k != "image_base64" else
                                          "(%d base64 characters)" % len(x))
                                      for k, x in json.loads(v["body"]).items()}'
}

# Shows the mail the SMTP server got, as Python's email package reads it.
show_mail() {
    wait_lines "$WORK/smtp.jsonl" 1 "the SMTP server"
    echo "  what the SMTP server got:"
    head -n 1 "$WORK/smtp.jsonl" | pretty '{**{k: v[k] for k in ("mail_from", "rcpt_tos",
        "from", "to", "cc", "subject", "x_fanout_id", "body_type", "body")},
        "attachments": ["%s (%s, %d bytes)" % (a["filename"], a["content_type"],
                        len(base64.b64decode(a["data_base64"]))) for a in v["attachments"]]}'
}

build
CLIENT=$(realpath "$CLIENT")
RELAYD=$(realpath "$RELAYD")
if ! taken=$("$PY" tools/check_ports.py --http 127.0.0.1); then
    echo "demo: $taken" >&2
    exit 1
fi

start_peer smtp smtp_peer.py
SMTP_PORT=$PEER_PORT
start_peer http http_peer.py
HTTP_PORT=$PEER_PORT
mkdir "$WORK/relay"
cat >"$WORK/relay/relayd.toml" <<EOF
[mail]
smtp = "smtp://127.0.0.1:$SMTP_PORT"
domain = "example.com"

[sms]
webhook = "http://127.0.0.1:$HTTP_PORT/sms"

[zeph]
webhook = "http://127.0.0.1:$HTTP_PORT/zeph"

[lumo]
webhook = "http://127.0.0.1:$HTTP_PORT/lumo"
EOF
echo "(in $WORK: the test peers of tests/peers/, an SMTP server on port $SMTP_PORT"
echo " and an HTTP receiver on port $HTTP_PORT; the relay, $RELAYD,"
echo " runs in relay/ with this relay/relayd.toml:)"
sed 's/^/    /' "$WORK/relay/relayd.toml"
echo
show_command fanout_relayd -c relayd.toml
(cd "$WORK/relay" && exec "$RELAYD" -c relayd.toml) >"$WORK/relayd.out" 2>"$WORK/relayd.err" &
PIDS+=($!)
wait_for $! "$WORK/relayd.err" 'listening on' "fanout_relayd"
sed 's/^/  /' "$WORK/relayd.err"
echo "  (its web inbox: http://127.0.0.1:12464/ while the demo runs)"
echo

# GBK text: "ni hao" and "shi jie" in Chinese, written as GBK bytes.
NIHAO=$(printf '\xc4\xe3\xba\xc3')
SHIJIE=$(printf '\xca\xc0\xbd\xe7')
cd "$WORK"
printf 'first attachment\n' >notes.txt
# A 16x16 red square in PNG.
"$PY" -c 'import struct, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
rows = b"".join(b"\0" + b"\xd0\x30\x30" * 16 for _ in range(16))
open("photo.png", "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0))
                              + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))'

send gbk sms -T alice -c "$NIHAO"
show_record sms
show_webhook 1
echo
send gbk zeph -T 'alice;bob' -S "$SHIJIE" -c "$NIHAO"
show_record zeph
show_webhook 2
echo
send utf8 lumo -T alice -c 'look at this' -i photo.png -d utf8
show_record lumo
show_webhook 3
echo
send gbk mail -T alice -C 'bob;carol' -S "$SHIJIE" -c "$NIHAO" -a 'notes.txt;photo.png'
show_record mail
show_mail
echo

echo "A refusal looks like this (no key of that name: result 5, nothing stored):"
send utf8 sms -T alice -c hello -d utf8 -k no-such-key
echo
stop_all
echo "(the relay and the peers stopped; $WORK removed)"
