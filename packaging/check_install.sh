#!/usr/bin/env bash
# Stages `cmake --install` of a built tree into a temporary folder and checks what it
# holds: exactly the expected files, runnable programs, lint-clean manual pages with
# every @NAME@ filled in, and a completion script that completes.
#
#   packaging/check_install.sh [BUILD_DIR]      (default: build; must be built already)
#
# Exits 0 when every check passed, 1 otherwise.
set -euo pipefail

build=${1:-build}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
usr=$stage/usr

passed=0
failed=0
check() { # check NAME COMMAND...: runs the command, counts the outcome, shows a failure
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name" >&2
        [ -z "$out" ] || printf '%s\n' "$out" >&2
    fi
}

# Man pages are gzip-compressed when gzip was there at configure time.
man1=share/man/man1
ext=.1.gz
[ -e "$usr/$man1/fanout_client.1" ] && ext=.1
expected=(
    bin/fanout_client
    bin/fanout_relay_sim
    "$man1/fanout_client$ext"
    "$man1/fanout_relay_sim$ext"
    share/bash-completion/completions/fanout_client
)

same_file_list() {
    diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$usr" && find . -type f | sed 's|^\./||' | sort)
}
page_text() { if [[ $1 == *.gz ]]; then gzip -dc "$1"; else cat "$1"; fi; }
page_lint_clean() { [ -z "$(page_text "$1" | groff -ww -z -man 2>&1)" ]; }
page_filled_in() { ! page_text "$1" | grep -q '@[A-Z_]*@'; }
completes() { # completes EXPECTED WORD...: the completions offered for the last word
    local got
    got=$(bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
                   _fanout_client fanout_client "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}";
                   echo "${COMPREPLY[*]}"' _ \
        "$usr/share/bash-completion/completions/fanout_client" fanout_client "${@:2}")
    [ "$got" = "$1" ]
}

check "installed files are exactly: ${expected[*]}" same_file_list
check "fanout_client -v runs" "$usr/bin/fanout_client" -v
check "fanout_relay_sim --help runs" "$usr/bin/fanout_relay_sim" --help
for page in fanout_client fanout_relay_sim; do
    check "$page man page is lint-clean" page_lint_clean "$usr/$man1/$page$ext"
    check "$page man page has its values filled in" page_filled_in "$usr/$man1/$page$ext"
done
check "completion: channel words" completes 'mail' ma
check "completion: options of sms" completes '-T -c -d -k -F -h' sms -T a ''
check "completion: -d values" completes 'utf8' zeph -d u

echo "check_install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
