#!/usr/bin/env bash
# The project's scripts as a newcomer meets them: set-up without apt-get, checks whose
# tool is missing, the fixed ports taken, the demo.
#
#   tests/tools_test.sh BUILD_DIR     (BUILD_DIR holds bin/fanout_client and bin/fanout_relay_sim)
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
WORK=$(mktemp -d)
SIM_PID_FILE=$WORK/sim.pid
trap '[ -f "$SIM_PID_FILE" ] && kill "$(cat "$SIM_PID_FILE")"; rm -rf "$WORK"' EXIT

# A PATH of links to the usual tools, less those named: a machine that lacks them.
path_without() {
    local dir=$WORK/path-$RANDOM tool name
    mkdir -p "$dir"
    for tool in /usr/bin/* /bin/*; do
        name=${tool##*/}
        [[ " $* " == *" $name "* ]] || ln -sf "$tool" "$dir/$name"
    done
    echo "$dir"
}
NO_APT=$(path_without apt-get dpkg-query)
NO_TIDY=$(path_without run-clang-tidy clang-tidy)

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
lines() { # lines N COMMAND...: the command prints exactly N lines
    local n=$1
    shift
    [ "$("$@" 2>&1 | wc -l)" -eq "$n" ]
}

row "setup_deps without apt-get: one line, goes on" 0 '^setup_deps: no apt-get/dpkg-query here' \
    env PATH="$NO_APT" bash tools/setup_deps.sh demo
row "setup_deps without apt-get prints one line" 0 '' \
    lines 1 env PATH="$NO_APT" bash tools/setup_deps.sh test
row "setup_deps skipped by FANOUT_SKIP_DEPS=1" 0 '^$' \
    env FANOUT_SKIP_DEPS=1 PATH="$NO_APT" bash tools/setup_deps.sh check
row "setup_deps refuses an unknown set" 2 'usage' bash tools/setup_deps.sh everything
row "check_style fails without clang-tidy" 1 'clang-tidy is not installed' \
    env PATH="$NO_TIDY" bash tools/check_style.sh "$BUILD"
row "gen_gbk_tables --check says what it verified" 0 'mapped one to one.*up to date' \
    /usr/bin/python3 tools/gen_gbk_tables.py --check

row "ports free" 0 '^$' /usr/bin/python3 tools/check_ports.py
"$BUILD/bin/fanout_relay_sim" --background --pid-file "$SIM_PID_FILE" >/dev/null 2>&1
row "ports taken: the port and what to stop" 1 \
    "^channel ports in use \(127.0.0.1 port 12460,12461,12462,12463\) by fanout_relay_sim, pid $(cat "$SIM_PID_FILE"): stop it \(kill [0-9]+\)" \
    /usr/bin/python3 tools/check_ports.py
row "demo with the ports taken: one line" 0 '' \
    lines 1 env FANOUT_SKIP_DEPS=1 bash tools/demo.sh "$BUILD"
row "demo with the ports taken fails" 1 'demo: channel ports in use' bash tools/demo.sh "$BUILD"
kill "$(cat "$SIM_PID_FILE")"
for _ in $(seq 100); do [ -f "$SIM_PID_FILE" ] || break; sleep 0.05; done

# The demo: five commands, quoted so that bash reads them back as they ran.
row "demo runs" 0 'exit 0.*(\n|.)*exit 1' bash tools/demo.sh "$BUILD"
demo_commands() { bash tools/demo.sh "$BUILD" | sed -n 's/^\$ //p'; }
row "demo shows five commands" 0 '' lines 5 demo_commands
row "demo commands are valid shell" 0 '' bash -n <(cd "$ROOT" && demo_commands)

echo "tools_test: $failed failed"
[ "$failed" -eq 0 ]
