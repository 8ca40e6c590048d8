#!/usr/bin/env bash
# Runs a command with an X display for Wine's windows:
#   with-display.sh <build dir> <command> [arguments...]
# The display in DISPLAY when it answers; otherwise a virtual X server of its
# own (Xvfb) for the length of the command, with a Wine prefix of its own
# (<build dir>/wineprefix-gui), so that no Wine desktop started earlier
# without a display serves these windows. The exit status is the command's.
#
# With no window manager on the display, the test programs' windows are
# left unmanaged (Wine draws their frames): Wine would otherwise wait for a
# manager's answer, two seconds each time a window is hidden.
set -u
build="$(cd "$1" && pwd)"
shift

# Tells Wine, for the window test programs, whether a window manager runs.
set_managed() {
    local managed=N reg
    if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then
        managed=Y
    fi
    reg="$(mktemp --suffix=.reg)"
    {
        printf 'REGEDIT4\r\n'
        for app in test_wingui.exe PalmoGPS.exe; do
            printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\X11 Driver]\r\n' "$app"
            printf '"Managed"="%s"\r\n' "$managed"
        done
    } >"$reg"
    "$build/wine-run.sh" regedit /S "$(winepath_of "$reg")" >/dev/null 2>&1
    rm -f "$reg"
}
winepath_of() { printf 'Z:%s' "${1//\//\\}"; }

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    set_managed
    exec "$@"
fi
if ! command -v Xvfb >/dev/null; then
    echo "with-display.sh: no X display and no Xvfb to make one (apt-get install xvfb)" >&2
    exit 1
fi
# One such display at a time: they share the prefix.
exec 7>"$build/wineprefix-gui.display.lock"
flock 7
fdfile="$(mktemp)"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 7>&- &
xvfb=$!
export PALMO_WINEPREFIX="$build/wineprefix-gui"
cleanup() {
    # The prefix's Wine server and desktop go with this display.
    WINEPREFIX="$PALMO_WINEPREFIX" wineserver -k 2>/dev/null
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    rm -f "$fdfile"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for _ in $(seq 1 200); do
    [ -s "$fdfile" ] && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.05
done
if [ ! -s "$fdfile" ]; then
    echo "with-display.sh: Xvfb did not start" >&2
    exit 1
fi
export DISPLAY=":$(head -n1 "$fdfile")"
set_managed
"$@" 7>&-
exit $?
