#!/usr/bin/env bash
# Checks what an install of a built tree holds: exactly the expected files, runnable
# programs, lint-clean manual pages with every @NAME@ filled in, the copyright and
# changelog of each package, and a completion script that completes. With --packages it
# checks each Debian package of the tree the same way, unpacked into a scratch root,
# and its control fields.
#
#   packaging/check_install.sh [BUILD_DIR] [--packages]
#       BUILD_DIR: default build; must be built (and packed with cpack for --packages)
#
# Exits 0 when every check passed, 1 otherwise.
set -euo pipefail

build=${1:-build}
mode=${2:-}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

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

# What each package holds, below /usr. Man pages are gzip-compressed when gzip was there
# at configure time, and so is the changelog. A third package joins with its own list.
man1=share/man/man1
gz=.gz
[ -e "$build/packaging/man/fanout_client.1.gz" ] || gz=""
declare -A files=(
    [fanout-client]="bin/fanout_client $man1/fanout_client.1$gz
        share/bash-completion/completions/fanout_client
        share/doc/fanout-client/copyright share/doc/fanout-client/changelog$gz"
    [fanout-relay-sim]="bin/fanout_relay_sim $man1/fanout_relay_sim.1$gz
        share/doc/fanout-relay-sim/copyright share/doc/fanout-relay-sim/changelog$gz"
)
declare -A programs=([fanout-client]="fanout_client -v" [fanout-relay-sim]="fanout_relay_sim --help")
declare -A pages=([fanout-client]=fanout_client [fanout-relay-sim]=fanout_relay_sim)

same_file_list() { # same_file_list USR EXPECTED...
    local usr=$1
    shift
    diff <(printf '%s\n' "$@" | sort) <(cd "$usr" && find . -type f | sed 's|^\./||' | sort)
}
page_text() { if [[ $1 == *.gz ]]; then gzip -dc "$1"; else cat "$1"; fi; }
page_lint_clean() {
    command -v groff >/dev/null || { echo "groff is not installed (package groff-base)"; return 1; }
    local warnings
    warnings=$(page_text "$1" | groff -ww -z -man 2>&1)
    [ -z "$warnings" ] || { echo "$warnings"; return 1; }
}
page_filled_in() { ! page_text "$1" | grep '@[A-Z_]*@'; }
copyright_machine_readable() {
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' "$1" &&
        grep -q '^License: MIT$' "$1" && grep -q '^ Permission is hereby granted' "$1"
}
changelog_names() { # changelog_names FILE PACKAGE: the entry is for this package
    page_text "$1" | head -n 1 | grep -q "^$2 ("
}
# Files to complete: a name with a blank, a plain one, a folder.
fixture=$stage/fixture
mkdir -p "$fixture/dir"
touch "$fixture/a b.txt" "$fixture/abc.txt"
completes() { # completes USR EXPECTED WORD...: the completions offered for the last word
    local usr=$1 expected=$2 got
    shift 2
    got=$(cd "$fixture" && bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
                   _fanout_client fanout_client "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}";
                   echo "${COMPREPLY[*]}"' _ \
        "$usr/share/bash-completion/completions/fanout_client" fanout_client "$@")
    [ "$got" = "$expected" ] || { echo "got '$got', expected '$expected'"; return 1; }
}

# Checks one package's files under USR.
check_package_files() { # check_package_files USR PACKAGE
    local usr=$1 pkg=$2 program page
    read -r -a program <<<"${programs[$pkg]}"
    page=$usr/$man1/${pages[$pkg]}.1$gz
    check "$pkg: ${program[*]} runs" "$usr/bin/${program[0]}" "${program[@]:1}"
    check "$pkg: man page is lint-clean" page_lint_clean "$page"
    check "$pkg: man page has its values filled in" page_filled_in "$page"
    check "$pkg: copyright is machine-readable MIT" \
        copyright_machine_readable "$usr/share/doc/$pkg/copyright"
    check "$pkg: changelog names the package" \
        changelog_names "$usr/share/doc/$pkg/changelog$gz" "$pkg"
}

check_completion() { # check_completion USR
    check "completion: channel words" completes "$1" 'mail' ma
    check "completion: options of sms" completes "$1" '-T -c -d -k -F -h' sms -T a ''
    check "completion: -d values" completes "$1" 'utf8' zeph -d u
    check "completion: nothing after --" completes "$1" '' mail -- ''
    check "completion: file names" completes "$1" 'a b.txt abc.txt' lumo -i a
    check "completion: no name with a blank for -a" completes "$1" 'abc.txt' mail -a a
    check "completion: a folder in an -a list keeps the list open" \
        completes "$1" 'x;dir/ x;dir//' mail -a 'x;d'
}

if [ "$mode" = --packages ]; then
    command -v dpkg-deb >/dev/null || { echo "check_install: dpkg-deb is not installed" >&2; exit 1; }
    for pkg in "${!files[@]}"; do
        debs=("$build/${pkg}"_*.deb)
        if [ ! -f "${debs[0]}" ]; then
            check "$pkg: package built (cd $build && cpack -G DEB)" false
            continue
        fi
        root=$stage/$pkg
        dpkg-deb -x "${debs[0]}" "$root"
        read -r -d "" -a expected <<<"${files[$pkg]}" || true
        check "$pkg: files are exactly ${expected[*]}" same_file_list "$root/usr" "${expected[@]}"
        check_package_files "$root/usr" "$pkg"
        check "$pkg: control field Package" \
            test "$(dpkg-deb -f "${debs[0]}" Package)" = "$pkg"
    done
    # Production hosts get the client alone: a static client needs nothing else.
    if file -b "$stage/fanout-client/usr/bin/fanout_client" 2>/dev/null | grep -q 'statically linked'; then
        check "fanout-client: a static client depends on nothing" \
            test -z "$(dpkg-deb -f "$build"/fanout-client_*.deb Depends)"
    fi
    check_completion "$stage/fanout-client/usr"
else
    DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
    all=()
    for pkg in "${!files[@]}"; do
        read -r -d "" -a expected <<<"${files[$pkg]}" || true
        all+=("${expected[@]}")
    done
    check "installed files are exactly those of the packages" same_file_list "$stage/usr" "${all[@]}"
    for pkg in "${!files[@]}"; do
        check_package_files "$stage/usr" "$pkg"
    done
    check_completion "$stage/usr"
fi

echo "check_install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
