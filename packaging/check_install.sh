#!/usr/bin/env bash
# Checks what an install of a built tree holds: exactly the expected files, runnable
# programs, lint-clean manual pages with every @NAME@ filled in, the copyright and
# changelog of each package, a completion script that completes, and the relay server's
# configuration and systemd unit. With --packages it checks each Debian package of the
# tree the same way, unpacked into a scratch root, and its control fields; the client's
# and the relay server's packages are also installed with dpkg into a scratch root (the
# relay's for its conffile).
#
#   packaging/check_install.sh [BUILD_DIR] [--packages]
#       BUILD_DIR: default build; must be built (and packed with cpack for --packages).
#       A client-only build (FANOUT_CLIENT_ONLY) holds the client's package alone.
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

# What each package holds, below /usr, and outside it. Man pages are gzip-compressed
# when gzip was there at configure time, and so is the changelog.
man1=share/man/man1
man8=share/man/man8
gz=.gz
[ -e "$build/packaging/man/fanout_client.1.gz" ] || gz=""
declare -A files=(
    [fanout-client]="bin/fanout_client $man1/fanout_client.1$gz
        share/bash-completion/completions/fanout_client
        share/doc/fanout-client/copyright share/doc/fanout-client/changelog$gz"
    [fanout-relay-sim]="bin/fanout_relay_sim $man1/fanout_relay_sim.1$gz
        share/doc/fanout-relay-sim/copyright share/doc/fanout-relay-sim/changelog$gz"
    [fanout-relayd]="bin/fanout_relayd $man8/fanout_relayd.8$gz
        share/doc/fanout-relayd/copyright share/doc/fanout-relayd/changelog$gz"
)
declare -A system_files=([fanout-relayd]="etc/fanout/relayd.toml lib/systemd/system/fanout-relayd.service")
declare -A programs=([fanout-client]="fanout_client -v" [fanout-relay-sim]="fanout_relay_sim --help"
                     [fanout-relayd]="fanout_relayd --version")
declare -A pages=([fanout-client]=$man1/fanout_client.1 [fanout-relay-sim]=$man1/fanout_relay_sim.1
                  [fanout-relayd]=$man8/fanout_relayd.8)

# The packages the build makes.
packages=("${!files[@]}")
if grep -q '^FANOUT_CLIENT_ONLY:BOOL=ON$' "$build/CMakeCache.txt" 2>/dev/null; then
    packages=(fanout-client)
fi

# The files of the packages named, relative to the root: usr/... and the system files.
package_files() { # package_files PACKAGE...
    local pkg file
    for pkg in "$@"; do
        for file in ${files[$pkg]}; do echo "usr/$file"; done
        for file in ${system_files[$pkg]:-}; do echo "$file"; done
    done
}
same_file_list() { # same_file_list ROOT PACKAGE...: ROOT holds exactly those packages' files
    local root=$1
    shift
    diff <(package_files "$@" | sort) <(cd "$root" && find . -type f | sed 's|^\./||' | sort)
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
    page=$usr/${pages[$pkg]}$gz
    check "$pkg: ${program[*]} runs" "$usr/bin/${program[0]}" "${program[@]:1}"
    check "$pkg: man page is lint-clean" page_lint_clean "$page"
    check "$pkg: man page has its values filled in" page_filled_in "$page"
    check "$pkg: copyright is machine-readable MIT" \
        copyright_machine_readable "$usr/share/doc/$pkg/copyright"
    check "$pkg: changelog names the package" \
        changelog_names "$usr/share/doc/$pkg/changelog$gz" "$pkg"
}

# The relay server's system files under ROOT: the unit runs the installed program with the
# installed example configuration, which checks, and whose store lies in the unit's state
# folder; systemd accepts the unit.
unit_value() { sed -n "s/^$2=//p" "$1/lib/systemd/system/fanout-relayd.service"; }
unit_runs_installed() { # unit_runs_installed ROOT
    local exec
    exec=$(unit_value "$1" ExecStart)
    [ "$exec" = "/usr/bin/fanout_relayd -c /etc/fanout/relayd.toml" ] || { echo "ExecStart=$exec"; return 1; }
    [ -x "$1/usr/bin/fanout_relayd" ] && [ -f "$1/etc/fanout/relayd.toml" ]
}
example_config_checks() { # example_config_checks ROOT
    local out
    if ! out=$("$1/usr/bin/fanout_relayd" --check-config -c "$1/etc/fanout/relayd.toml" 2>&1) ||
        ! grep -q '/var/lib/fanout-relay/fanout-relay.db' <<<"$out"; then
        echo "$out"
        return 1
    fi
}
store_in_state_directory() { # store_in_state_directory ROOT
    local store state work
    store=$(sed -n 's/^store = "\(.*\)"$/\1/p' "$1/etc/fanout/relayd.toml")
    state=/var/lib/$(unit_value "$1" StateDirectory)
    work=$(unit_value "$1" WorkingDirectory)
    if [ "$(dirname "$store")" != "$state" ] || [ "$work" != "$state" ]; then
        echo "store $store, StateDirectory $state, WorkingDirectory $work"
        return 1
    fi
}
# systemd-analyze verify in a copy of ROOT given systemd's own targets and slices and the
# kill(1) the unit's reload runs (from procps, which the package depends on); any message
# fails (a wrong setting is only warned about). MANPATH finds the page the unit names.
unit_verifies() { # unit_verifies ROOT
    command -v systemd-analyze >/dev/null ||
        { echo "systemd-analyze is not installed (package systemd)"; return 1; }
    local verify=$stage/verify-root out
    rm -rf "$verify"
    cp -a "$1" "$verify"
    cp /lib/systemd/system/*.target /lib/systemd/system/*.slice "$verify/lib/systemd/system/"
    mkdir -p "$verify/bin"
    cp /bin/kill "$verify/bin/"
    if ! out=$(MANPATH=$verify/usr/share/man systemd-analyze verify --root="$verify" \
        fanout-relayd.service 2>&1) || [ -n "$out" ]; then
        echo "$out"
        return 1
    fi
}
check_relayd_system() { # check_relayd_system ROOT
    check "fanout-relayd: the unit runs the installed program and configuration" \
        unit_runs_installed "$1"
    check "fanout-relayd: --check-config accepts the example configuration" \
        example_config_checks "$1"
    check "fanout-relayd: the example store lies in the unit's state folder" \
        store_in_state_directory "$1"
    check "fanout-relayd: systemd-analyze verify accepts the unit" unit_verifies "$1"
}

# The package's conffiles: exactly its files under /etc; dpkg registers them, and a
# reinstall keeps a copy the administrator changed.
conffiles_are_etc() { # conffiles_are_etc DEB ROOT
    diff <(dpkg-deb --ctrl-tarfile "$1" | tar -xO ./conffiles | sort) \
        <(cd "$2" && find etc -type f | sed 's|^|/|' | sort)
}
# dpkg run on an empty scratch root ROOT, which it makes on first use; the package's
# architecture is added when it is not the host's (an i386 package on an amd64 host).
dpkg_in_root() { # dpkg_in_root ROOT DPKG_ARGUMENT...
    local root=$1
    shift
    if [ ! -d "$root/var/lib/dpkg" ]; then
        mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
        touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
    fi
    PATH=$PATH:/usr/sbin:/sbin dpkg --root="$root" --log=/dev/null --force-not-root \
        --force-depends --force-confold "$@" </dev/null
}
dpkg_installs() { # dpkg_installs DEB ROOT: installs DEB into the scratch root ROOT
    local arch
    arch=$(dpkg-deb -f "$1" Architecture)
    if [ "$arch" != all ] && [ "$arch" != "$(dpkg --print-architecture)" ]; then
        dpkg_in_root "$2" --add-architecture "$arch" || return 1
    fi
    dpkg_in_root "$2" -i "$1"
}
dpkg_keeps_changed_conffile() { # dpkg_keeps_changed_conffile DEB
    local root=$stage/dpkg-root conffiles
    dpkg_installs "$1" "$root" || return 1
    conffiles=$(dpkg-query --root="$root" -W -f='${Conffiles}' fanout-relayd)
    grep -Eq '^ /etc/fanout/relayd.toml [0-9a-f]{32}$' <<<"$conffiles" ||
        { echo "conffiles registered: '$conffiles'"; return 1; }
    echo 'port_offset = 100' >>"$root/etc/fanout/relayd.toml"
    dpkg_in_root "$root" -i "$1" || return 1
    grep -q '^port_offset = 100$' "$root/etc/fanout/relayd.toml" ||
        { echo "the reinstall replaced the changed configuration"; return 1; }
}
depends_on_libraries() { # depends_on_libraries DEB: Depends names what the program links
    local depends lib
    depends=" $(dpkg-deb -f "$1" Depends | sed 's/ ([^)]*)//g; s/,//g') "
    for lib in libc6 libcurl4 libpq5 libsqlite3-0 libssl3 libstdc++6; do
        case $depends in
            *" $lib "* | *" $lib"[0-9]*) ;; # libssl3: the soname's version
            *) echo "no $lib in Depends:$depends"; return 1 ;;
        esac
    done
}

# The client's package installs with dpkg, its program where the package says, runnable.
dpkg_installs_client() { # dpkg_installs_client DEB
    local root=$stage/dpkg-client-root
    dpkg_installs "$1" "$root" || return 1
    dpkg-query --root="$root" -L fanout-client | grep -qx /usr/bin/fanout_client &&
        "$root/usr/bin/fanout_client" -v
}
# The Architecture field names the machine the program is built for.
declare -A elf_machines=([amd64]="x86-64" [i386]="Intel 80386")
architecture_matches() { # architecture_matches DEB PROGRAM
    local arch elf
    arch=$(dpkg-deb -f "$1" Architecture)
    elf=$(file -b "$2")
    if [ -z "${elf_machines[$arch]:-}" ] || [[ $elf != *"${elf_machines[$arch]}"* ]]; then
        echo "Architecture: $arch, program: $elf"
        return 1
    fi
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
    for pkg in "${packages[@]}"; do
        debs=("$build/${pkg}"_*.deb)
        if [ ! -f "${debs[0]}" ]; then
            check "$pkg: package built (cd $build && cpack -G DEB)" false
            continue
        fi
        root=$stage/$pkg
        dpkg-deb -x "${debs[0]}" "$root"
        check "$pkg: files are exactly $(package_files "$pkg" | tr '\n' ' ')" \
            same_file_list "$root" "$pkg"
        check_package_files "$root/usr" "$pkg"
        check "$pkg: control field Package" \
            test "$(dpkg-deb -f "${debs[0]}" Package)" = "$pkg"
        if [ "$pkg" = fanout-relayd ]; then
            check_relayd_system "$root"
            check "$pkg: the conffiles are its files under /etc" conffiles_are_etc "${debs[0]}" "$root"
            check "$pkg: dpkg registers the conffile and keeps a changed one" \
                dpkg_keeps_changed_conffile "${debs[0]}"
            check "$pkg: Depends names the libraries it links" depends_on_libraries "${debs[0]}"
        fi
        if [ "$pkg" = fanout-client ]; then
            check "$pkg: Architecture matches the program" \
                architecture_matches "${debs[0]}" "$root/usr/bin/fanout_client"
            check "$pkg: dpkg installs it and the installed client runs" \
                dpkg_installs_client "${debs[0]}"
        fi
    done
    # Production hosts get the client alone: a static client needs nothing else.
    if file -b "$stage/fanout-client/usr/bin/fanout_client" 2>/dev/null | grep -q 'statically linked'; then
        check "fanout-client: a static client depends on nothing" \
            test -z "$(dpkg-deb -f "$build"/fanout-client_*.deb Depends)"
    fi
    check_completion "$stage/fanout-client/usr"
else
    root=$stage/root
    DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
    check "installed files are exactly those of the packages" same_file_list "$root" "${packages[@]}"
    for pkg in "${packages[@]}"; do
        check_package_files "$root/usr" "$pkg"
    done
    case " ${packages[*]} " in *" fanout-relayd "*) check_relayd_system "$root" ;; esac
    check_completion "$root/usr"
fi

echo "check_install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
