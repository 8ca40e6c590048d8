#!/usr/bin/env bash
# The Windows installer under Wine: a silent install into Program Files, the
# installed programs run, the Start-menu shortcut is there, the zip holds the
# same files, and the silent uninstall removes them all.
#   tests/package/nsis.sh [BUILD_DIR]   (default build/mingw, where
#   `cmake --build --preset mingw --target package` left the setup and zip)
# Runs in the build's own Wine prefix (see cmake/wine-run.sh.in).
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/mingw}" && pwd)
wine=$build/wine-run.sh
export WINEPREFIX=${PALMO_WINEPREFIX:-$build/wineprefix}

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

setups=("$build"/PalmoGPS-*-win64-setup.exe)
setup=${setups[-1]}
if [ ! -f "$setup" ]; then
    echo "FAILED: no PalmoGPS-*-win64-setup.exe in $build"
    echo "0 passed, 1 failed"
    exit 1
fi
version=${setup##*/PalmoGPS-}
version=${version%-win64-setup.exe}
zip=$build/PalmoGPS-$version-win64.zip
echo "installer: $setup (version $version)"

dir=$WINEPREFIX/drive_c/Program\ Files/PalmoGPS
start_menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/PalmoGPS
# What an interrupted run left goes first.
if [ -x "$dir/Uninstall.exe" ]; then
    "$wine" "$dir/Uninstall.exe" /S >/dev/null 2>&1
    for _ in $(seq 1 60); do [ -e "$dir" ] || break; sleep 0.5; done
fi
rm -rf "$dir" "$start_menu"

check "silent install" "$wine" "$setup" /S
installed() {
    local f
    for f in PalmoGPS.exe gpscat.exe README.txt LICENSE.txt Uninstall.exe; do
        [ -f "$dir/$f" ] || { echo "missing: $f"; return 1; }
    done
}
check "files in Program Files" installed
check "gpscat.exe --version" test "$("$wine" "$dir/gpscat.exe" --version | tr -d '\r')" = "gpscat $version"
# PalmoGPS.exe is a window program: --help must end without a window left open.
palmogps_help() {
    local out
    out=$(timeout 60 "$wine" "$dir/PalmoGPS.exe" --help 2>&1) &&
        grep -q -- "--version" <<<"$out"
}
check "PalmoGPS.exe --help" palmogps_help
check "PalmoGPS.exe --version" test "$(timeout 60 "$wine" "$dir/PalmoGPS.exe" --version | tr -d '\r')" = "palmogps $version"
check "Start-menu shortcut" test -f "$start_menu/PalmoGPS.lnk"

same_as_zip() {
    local listed
    listed=$(python3 -c 'import sys, zipfile
print("\n".join(sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' "$zip") || return 1
    [ "$listed" = "$(cd "$dir" && ls | grep -vx Uninstall.exe | sort)" ]
}
check "the zip holds the installed files" same_as_zip

# The uninstaller copies itself away and goes on in the background: wait for it.
uninstalled() {
    "$wine" "$dir/Uninstall.exe" /S || return 1
    for _ in $(seq 1 120); do
        [ -e "$dir" ] || [ -e "$start_menu" ] || return 0
        sleep 0.5
    done
    find "$dir" "$start_menu" 2>/dev/null | sed 's/^/left behind: /'
    return 1
}
check "silent uninstall removes the files and the shortcut" uninstalled

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
