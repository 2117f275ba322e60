#!/usr/bin/env bash
# The project's scripts as a newcomer meets them: set-up without apt-get, checks whose
# tool is missing, the fixed ports taken, the demo.
#
#   tests/tools_test.sh BUILD_DIR     (BUILD_DIR holds bin/fanout_client, bin/fanout_relay_sim
#                                      and bin/fanout_relayd)
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
# The rows below set the skip switch themselves; `make check` exports it for its own steps.
unset FANOUT_SKIP_DEPS
WORK=$(mktemp -d)
SIM_PID_FILE=$WORK/sim.pid
HOLDER_PID=""
trap '[ -f "$SIM_PID_FILE" ] && kill "$(cat "$SIM_PID_FILE")"; [ -z "$HOLDER_PID" ] || kill "$HOLDER_PID"
      rm -rf "$WORK"' EXIT

# A PATH with only the few tools the scripts under test use before they look for the
# missing ones: a machine without apt-get, dpkg-query, clang-tidy.
BARE=$WORK/bare-path
mkdir -p "$BARE"
for tool in bash env grep sed head cut id dirname cat wc git clang-format; do
    ln -s "$(command -v "$tool")" "$BARE/$tool"
done

failed=0
# row NAME STATUS PATTERN COMMAND...: the command exits with STATUS and its output
# (standard output and error) matches the extended regular expression PATTERN.
row() {
    local name=$1 status=$2 pattern=$3 out got=0
    shift 3
    out=$(cd "$ROOT" && "$@" 2>&1) || got=$?
    if [ "$got" != "$status" ] || ! grep -Eq -- "$pattern" <<<"$out"; then
        echo "FAILED: $name: status $got (expected $status), output:" >&2
        printf '%s\n' "$out" | tail -n 15 >&2
        failed=$((failed + 1))
    fi
}
statuses() { grep -o 'client (exit [0-9]*)' "$1" | tr '\n' ' '; }
lines() { # lines N COMMAND...: the command prints exactly N lines
    local n=$1
    shift
    [ "$("$@" 2>&1 | wc -l)" -eq "$n" ]
}

row "setup_deps without apt-get: one line, goes on" 0 '^setup_deps: no apt-get/dpkg-query here' \
    env PATH="$BARE" bash tools/setup_deps.sh demo
row "setup_deps without apt-get prints one line" 0 '' \
    lines 1 env PATH="$BARE" bash tools/setup_deps.sh test
row "setup_deps skipped by FANOUT_SKIP_DEPS=1" 0 '^$' \
    env FANOUT_SKIP_DEPS=1 PATH="$BARE" bash tools/setup_deps.sh check
row "setup_deps refuses an unknown set" 2 'usage' bash tools/setup_deps.sh everything
row "check_style fails without clang-tidy" 1 'clang-tidy is not installed' \
    env PATH="$BARE" bash tools/check_style.sh "$BUILD"
row "gen_gbk_tables --check says what it verified" 0 'mapped one to one.*up to date' \
    /usr/bin/python3 tools/gen_gbk_tables.py --check

row "ports free" 0 '^$' /usr/bin/python3 tools/check_ports.py
"$BUILD/bin/fanout_relay_sim" --background --pid-file "$SIM_PID_FILE" >/dev/null 2>&1
row "ports taken: the port and what to stop" 1 \
    "^channel ports in use \(127.0.0.1 port 12460,12461,12462,12463\) by fanout_relay_sim, pid $(cat "$SIM_PID_FILE"): stop it \(kill [0-9]+\)" \
    /usr/bin/python3 tools/check_ports.py
env FANOUT_SKIP_DEPS=1 bash "$ROOT/tools/demo.sh" "$BUILD" >"$WORK/demo-taken.out" 2>&1
echo "status $?" >>"$WORK/demo-taken.out"
row "demo with the ports taken: one line" 0 '' lines 2 cat "$WORK/demo-taken.out"
row "demo with the ports taken: the ports named" 0 '' \
    grep -Eq '^demo: channel ports in use \(127.0.0.1 port 12460' "$WORK/demo-taken.out"
row "demo with the ports taken: status 1" 0 '' grep -q '^status 1$' "$WORK/demo-taken.out"
kill "$(cat "$SIM_PID_FILE")"
for _ in $(seq 100); do [ -f "$SIM_PID_FILE" ] || break; sleep 0.05; done

# The relay's HTTP port taken (channel ports free): the demo names it too.
/usr/bin/python3 -c 'import socket, time
s = socket.socket()
s.bind(("127.0.0.1", 12464))
s.listen()
time.sleep(120)' &
HOLDER_PID=$!
for _ in $(seq 100); do
    /usr/bin/python3 "$ROOT/tools/check_ports.py" --http 127.0.0.1 >/dev/null || break
    sleep 0.05
done
row "demo with the HTTP port taken: that port named" 1 \
    "^demo: ports in use \(127.0.0.1 port 12464\) by python3, pid $HOLDER_PID" \
    env FANOUT_SKIP_DEPS=1 bash "$ROOT/tools/demo.sh" "$BUILD"
kill "$HOLDER_PID"
wait "$HOLDER_PID" 2>/dev/null
HOLDER_PID=""

# The demo: four messages sent, delivered to the SMTP server and the webhook receiver,
# and one refused; each command quoted so that bash reads it back as it ran; nothing left
# running.
bash "$ROOT/tools/demo.sh" "$BUILD" >"$WORK/demo.out" 2>&1
row "demo: four messages sent, one refused" 0 \
    '^(client \(exit 0\) ){4}client \(exit 1\) $' \
    statuses "$WORK/demo.out"
row "demo: four records delivered" 0 '^4$' grep -c '"status": "delivered"' "$WORK/demo.out"
row "demo: three webhook posts, one per channel path" 0 '^3$' \
    grep -c 'receiver got: POST /\(sms\|zeph\|lumo\), ' "$WORK/demo.out"
row "demo: the mail with its GBK subject as UTF-8 and two attachments" 0 '' \
    grep -Pzq '"subject": "世界",(.|\n)*"attachments": \["notes.txt \([^,]*, 17 bytes\)", "photo.png' \
    "$WORK/demo.out"
row "demo: the refusal is result 5" 0 '' \
    grep -q 'client (exit 1): .*\[ERROR\].*err_code:5' "$WORK/demo.out"
sed -n 's/^ *\$ //p' "$WORK/demo.out" >"$WORK/demo.commands"
row "demo shows ten commands" 0 '' lines 10 cat "$WORK/demo.commands"
row "demo commands are valid shell" 0 '' bash -n "$WORK/demo.commands"
row "demo leaves the ports free" 0 '^$' /usr/bin/python3 tools/check_ports.py --http 127.0.0.1

echo "tools_test: $failed failed"
[ "$failed" -eq 0 ]
