#!/usr/bin/env bash
# The Debian package as a user meets it: lintian, then install it on this
# machine, run each program, find the man page, check the desktop entry, the
# AppStream record and the bash completion, and remove it again, leaving none
# of its files behind.
#   tests/package/deb.sh [BUILD_DIR]   (default build/default, where
#   `cmake --build --preset default --target package` left the .deb)
# Needs root and dpkg; without them it says so and ends with status 0.
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/default}

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
    echo "SKIPPED: installing the .deb needs root and dpkg"
    exit 0
fi

passed=0
failed=0
check() { # check NAME COMMAND...: runs the command, counts and reports it
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $name"
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
    fi
}

debs=("$build"/palmogps_*.deb)
if [ ! -f "${debs[0]}" ]; then
    echo "FAILED: no palmogps_*.deb in $build"
    echo "0 passed, 1 failed"
    exit 1
fi
deb=${debs[-1]}
version=$(dpkg-deb -f "$deb" Version)
echo "package: $deb (version $version)"

lintian_ok() {
    # Errors fail; warnings and the rest are shown (the README lists the ones kept).
    lintian --fail-on error --info "$deb"
}
check "lintian reports no error" lintian_ok

no_services() {
    local listing scripts
    listing=$(dpkg-deb -c "$deb")
    scripts=$(dpkg-deb -I "$deb" | grep -E '^ +[0-9]+ bytes, +[0-9]+ lines +\*? *(pre|post)(inst|rm)' || true)
    ! grep -qE 'lib/systemd|etc/init\.d|etc/cron' <<<"$listing" && [ -z "$scripts" ]
}
check "the package installs no service and has no maintainer script" no_services

# A package left over from an interrupted run goes first.
dpkg-query -W palmogps >/dev/null 2>&1 && dpkg -r palmogps >/dev/null
check "dpkg -i" dpkg -i "$deb"

# The same version from every program, taken from the installed binaries.
# gpscat is installed as palmo-gpscat (gpsd-clients has a gpscat of its own);
# it still names itself gpscat.
for program in palmogps gpscat nmeasim; do
    installed=$program
    [ "$program" = gpscat ] && installed=palmo-gpscat
    check "$installed --version" test "$(/usr/bin/$installed --version)" = "$program $version"
done
check "man -w palmo-gpscat" test "$(man -w palmo-gpscat)" = /usr/share/man/man1/palmo-gpscat.1.gz
man_renders() {
    local p
    for p in palmogps palmo-gpscat nmeasim; do
        MANWIDTH=80 man "$p" 2>/dev/null | grep -q "^NAME" || return 1
    done
    # The renamed page shows the command it documents.
    MANWIDTH=80 man palmo-gpscat 2>/dev/null | grep -q "palmo-gpscat --port"
}
check "man pages render" man_renders
# palmogps on Qt's offscreen platform: --help prints and the program ends.
palmogps_help() {
    local out
    out=$(QT_QPA_PLATFORM=offscreen timeout 30 /usr/bin/palmogps --help 2>&1) &&
        grep -q -- "--version" <<<"$out"
}
check "palmogps --help (Qt offscreen)" palmogps_help
check "desktop-file-validate" desktop-file-validate /usr/share/applications/palmogps.desktop
check "appstreamcli validate" appstreamcli validate --no-net $(dpkg -L palmogps | grep '/metainfo/.*\.xml$')
# bash completion, loaded on demand as an interactive shell would.
completes() { # completes WANT WORD...: the completions of the last word hold WANT
    local want=$1
    shift
    bash -c 'source /usr/share/bash-completion/bash_completion || exit 1
             COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
             COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
             _completion_loader "$1" # 124: loaded, complete again
             fn=$(complete -p "$1" | sed -nE "s/.*-F ([^ ]+).*/\1/p")
             [ -n "$fn" ] && "$fn" && printf "%s\n" "${COMPREPLY[@]}"' _ "$@" |
        grep -qx -- "$want"
}
all_complete() {
    completes --pos-units palmo-gpscat --pos-u && completes statute palmo-gpscat --units "" &&
        completes --serve-nmea palmo-gpscat --serve- &&
        completes --persist nmeasim --per && completes --version nmeasim --vers
}
check "bash completion" all_complete

# Removal leaves none of the package's files, nor a folder only it had.
mapfile -t files < <(dpkg -L palmogps)
check "dpkg -r" dpkg -r palmogps
left_behind() {
    local f left=0
    for f in "${files[@]}"; do
        [ -e "$f" ] || [ -L "$f" ] || continue
        if [ -d "$f" ] && [ ! -L "$f" ] && dpkg -S "$f" >/dev/null 2>&1; then
            continue # a folder that other packages share
        fi
        echo "left behind: $f"
        left=1
    done
    return $left
}
check "dpkg -r leaves nothing behind" left_behind

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
