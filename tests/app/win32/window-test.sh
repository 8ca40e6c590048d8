#!/usr/bin/env bash
# PalmoGPS.exe under Wine, driven from outside as a user would:
#   window-test.sh <build dir> <PalmoGPS.exe> <wingui_probe.exe> [nmeasim]
# nmeasim (the host's simulated receiver; default: the Linux build's) serves
# COM1 through a pseudo-terminal linked at <build dir>/wine-com/com1. The
# program starts, the mouse ticks "GPS Available " (xdotool, on the display
# in DISPLAY), the fix labels are read back with wingui_probe until "Valid",
# the window is photographed (kept as screenshot-windows.png in
# PALMO_SCREENSHOT_DIR when that is set) and closed with WM_CLOSE; the
# program must end with status 0 and without an unhandled exception. Then
# start-up options the window cannot follow, a GNSS receiver with
# --gnss --open --satellites, and a recording started with --record.
set -u
build="$(cd "$1" && pwd)"
exe="$2"
probe="$3"
source_dir="$(cd "$(dirname "$0")/../../.." && pwd)"
nmeasim="${4:-${NMEASIM:-$source_dir/build/default/tools/nmeasim/nmeasim}}"
caption="Palmo GPS Receiver..."
# shellcheck source=../../support/wine-sim.sh
source "$(dirname "$0")/../../support/wine-sim.sh"

# Ends the test at once.
give_up() {
    fail "$*"
    [ -s "$work/app.out" ] && { echo "--- PalmoGPS.exe said:"; head -c 2000 "$work/app.out"; }
    exit 1
}
# wingui_probe, its console's carriage returns dropped; its exit status.
probe() {
    "$build/wine-run.sh" "$probe" "$@" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

[ -x "$nmeasim" ] || give_up "nmeasim not found at $nmeasim: build the Linux preset first (cmake --build --preset default)"
command -v xdotool >/dev/null || give_up "xdotool is missing (apt-get install xdotool)"
[ -n "${DISPLAY:-}" ] || give_up "no DISPLAY: run through with-display.sh"

take_com_links

# --persist: the window's port probe opens and closes COM1 before the tick.
start_sim_on_com1 --seed 7 --speed 2 --persist || give_up "nmeasim made no link: $(cat "$work/sim.err")"

"$build/wine-run.sh" "$exe" >"$work/app.out" 2>&1 &
app_pid=$!
probe wait "$caption" 60000 || give_up "the window \"$caption\" did not appear"
xdotool search --sync --onlyvisible --name "^Palmo GPS Receiver\.\.\.$" >/dev/null 2>&1 ||
    fail "xdotool finds no X window named \"$caption\""

# The initial state: the port list from the probe, the tick off, the design texts.
probe list "$caption" >"$work/start.txt" || give_up "cannot read the controls"
grep -q '|COM1$' "$work/start.txt" || fail "COM1 is not listed: $(cat "$work/start.txt")"
grep -q '^Button|[0-9]*|[-0-9,]*|0|GPS Available $' "$work/start.txt" ||
    fail "\"GPS Available \" is not an unticked check box"

# The tick, with the mouse.
read -r x y < <(probe center "$caption" "GPS Available ") || give_up "no \"GPS Available \""
xdotool mousemove --sync "$x" "$y" click 1
for _ in $(seq 1 50); do
    [ "$(probe checked "$caption" "GPS Available ")" = 1 ] && break
    sleep 0.2
done
[ "$(probe checked "$caption" "GPS Available ")" = 1 ] ||
    give_up "the click at $x,$y did not tick \"GPS Available \": $(probe list "$caption")"

probe wait-text "$caption" "Valid" 30000 >"$work/wait.txt"
case $? in
    0) ;;
    2) give_up "a message box instead of a fix: $(cat "$work/wait.txt")" ;;
    *) give_up "no \"Valid\": $(cat "$work/wait.txt")" ;;
esac
# A further second: the labels of a fix, the status line of a fix.
sleep 1
probe list "$caption" >"$work/fix.txt"
for want in '|Lat: [0-9]+.*S$' '|Long: [0-9]+.*E$' '|Lat: -[0-9.]+$' '|Long: [0-9.]+$' \
    '|Altitude: [0-9.]+ M$' '|Sat Count: [0-9]+$' '|Fix (Progress|Quality): ' \
    '^msctls_statusbar32\|.*\| Palmo GPS Receiver' '^Edit\|.*GP(RMC|GGA|GSA): \$GP'; do
    grep -Eq "$want" "$work/fix.txt" || fail "no control matches /$want/"
done
[ "$failures" = 0 ] || { echo "--- the controls:"; cat "$work/fix.txt"; }

# The picture: the window cut out of the screen.
read -r wx wy ww wh cx cy < <(probe rect "$caption")
shot="$build/palmogps-window.png"
# "r,g,b" of the picture's pixel at x, y of the client area.
pixel() {
    convert "$shot" -format \
        "%[fx:round(255*p{$((cx + $1)),$((cy + $2))}.r)],%[fx:round(255*p{$((cx + $1)),$((cy + $2))}.g)],%[fx:round(255*p{$((cx + $1)),$((cy + $2))}.b)]" \
        info:
}
if import -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$shot" 2>"$work/import.err"; then
    # The gradient from white (row 0) toward the window's colour: row 395 of
    # max(376, 421) = 421 is red 255-123*395/421, green 255-34*395/421, blue 255.
    [ "$(pixel 2 2)" = "255,255,255" ] || fail "row 2 of the gradient is $(pixel 2 2), not white"
    [ "$(pixel 2 395)" = "140,224,255" ] || fail "row 395 of the gradient is $(pixel 2 395)"
    if [ -n "${PALMO_SCREENSHOT_DIR:-}" ]; then
        mkdir -p "$PALMO_SCREENSHOT_DIR" && cp "$shot" "$PALMO_SCREENSHOT_DIR/screenshot-windows.png"
    fi
else
    fail "no screenshot: $(cat "$work/import.err")"
fi

# Closes the window with the close message: status 0, no unhandled exception.
close_app() {
    probe close "$caption" || fail "cannot send WM_CLOSE"
    for _ in $(seq 1 150); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$app_pid" 2>/dev/null; then
        fail "PalmoGPS.exe still runs 15 s after WM_CLOSE"
    else
        wait "$app_pid"
        local status=$?
        app_pid=""
        [ "$status" = 0 ] || fail "PalmoGPS.exe ended with status $status"
    fi
    if grep -qa -e "Unhandled exception" -e "^wine: Unhandled" "$work/app.out"; then
        fail "PalmoGPS.exe reported: $(grep -a -m3 -e "Unhandled" "$work/app.out")"
    fi
}
close_app

# A port that cannot be opened: COM1 has nothing behind it now (Wine may
# still list it: its device opens, the line settings fail). The tick brings
# the failure's message in a message box and stays off.
kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=""
rm -f "$com/com1"
"$build/wine-run.sh" "$exe" >"$work/app.out" 2>&1 &
app_pid=$!
probe wait "$caption" 60000 || give_up "the window \"$caption\" did not appear again"
read -r x y < <(probe center "$caption" "GPS Available ") || give_up "no \"GPS Available \""
xdotool mousemove --sync "$x" "$y" click 1
if box="$(probe wait-box "$caption" 15000)"; then
    # The application's title over the failure's message.
    case "$box" in
        "[PalmoGPS] "?*) ;;
        *) fail "not the exception display's message box: $box" ;;
    esac
    probe dismiss "$caption" || fail "cannot dismiss the message box"
else
    fail "no message box for a port that cannot be opened"
fi
for _ in $(seq 1 50); do
    probe wait-box "$caption" 0 >/dev/null || break
    sleep 0.1
done
[ "$(probe checked "$caption" "GPS Available ")" = 0 ] ||
    fail "\"GPS Available \" stays ticked after the failed open"
close_app

# Start-up options the window cannot follow: each is said in a message box
# over the window, and the window's own choice stays.
"$build/wine-run.sh" "$exe" --port 77 --baud 1234 >"$work/app.out" 2>&1 &
app_pid=$!
probe wait "$caption" 60000 || give_up "the window \"$caption\" did not appear with bad options"
for want in "Port COM77 is not one of the choices" "Baud rate 1234 is not one of the choices"; do
    if box="$(probe wait-box "$caption" 15000)"; then
        case "$box" in
            *"$want"*) ;;
            *) fail "the message box reads \"$box\", not \"$want...\"" ;;
        esac
        probe dismiss "$caption" || fail "cannot dismiss the message box"
        for _ in $(seq 1 50); do
            probe wait-box "$caption" 0 >/dev/null || break
            sleep 0.1
        done
    else
        fail "no message box saying \"$want\""
    fi
done
probe list "$caption" | grep -q '^ComboBox|.*|4800$' || fail "the baud rate did not stay 4800"
close_app

# A GNSS receiver behind COM1, the program started with --gnss --open
# --satellites: the fix in the main window, the satellites window found by
# its caption and photographed (screenshot-satellites-windows.png).
sats="Satellites"
if "$nmeasim" --help 2>&1 | grep -q -- "--dialect"; then
    start_sim_on_com1 --dialect gnss --seed 7 --speed 2 --persist ||
        give_up "nmeasim --dialect gnss made no link: $(cat "$work/sim.err")"
    "$build/wine-run.sh" "$exe" --gnss --open --satellites >"$work/app.out" 2>&1 &
    app_pid=$!
    probe wait "$caption" 60000 || give_up "the window \"$caption\" did not appear with --gnss"
    probe wait "$sats" 30000 || give_up "no window \"$sats\" with --satellites"
    [ "$(probe checked "$caption" "GPS Available ")" = 1 ] || fail "--open did not tick \"GPS Available \""
    probe wait-text "$caption" "Valid" 40000 >"$work/wait.txt" || fail "no \"Valid\" from the GNSS receiver: $(cat "$work/wait.txt")"
    sleep 3  # a few epochs of satellites in view
    read -r wx wy ww wh cx cy < <(probe rect "$sats")
    shot="$build/satellites-window.png"
    if import -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$shot" 2>"$work/import.err"; then
        # GPS discs and bars are green (0, 160, 0).
        green="$(convert "$shot" -fill black +opaque "rgb(0,160,0)" -fill white -opaque "rgb(0,160,0)" \
            -format "%[fx:round(mean*w*h)]" info:)"
        [ "${green:-0}" -gt 50 ] || fail "the satellites window shows no GPS satellite ($green green pixels)"
        if [ -n "${PALMO_SCREENSHOT_DIR:-}" ]; then
            cp "$shot" "$PALMO_SCREENSHOT_DIR/screenshot-satellites-windows.png"
        fi
    else
        fail "no screenshot of the satellites window: $(cat "$work/import.err")"
    fi
    close_app
else
    echo "palmogps_window: the GNSS part is not run: $nmeasim has no --dialect option"
fi

# Recording: the simulator behind COM1, the program started with --open
# --record; the status bar counts the points, "Stop recording" is picked from
# the context menu (its last item, with the keyboard),
# and gpsbabel and xmllint read the track back.
[ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=""; }
start_sim_on_com1 --seed 7 --speed 5 --persist || give_up "nmeasim made no link: $(cat "$work/sim.err")"
track="$work/window.gpx"
"$build/wine-run.sh" "$exe" --open --record "$(winpath "$track")" >"$work/app.out" 2>&1 &
app_pid=$!
probe wait "$caption" 60000 || give_up "the window \"$caption\" did not appear with --record"
status_text() { probe list "$caption" | sed -nE 's/^msctls_statusbar32\|[^|]*\|[^|]*\|[^|]*\|//p'; }
points=0
for _ in $(seq 1 120); do
    points=$(status_text | sed -nE 's/^Recording: ([0-9,]+) points?$/\1/p' | tr -d ,)
    [ "${points:-0}" -ge 10 ] && break
    sleep 0.5
done
[ "${points:-0}" -ge 10 ] || fail "the status bar did not count 10 points: $(status_text)"
probe menu-last "$caption" || fail "no context menu came up"
for _ in $(seq 1 25); do
    case "$(status_text)" in " Palmo GPS Receiver"*) break ;; esac
    sleep 0.2
done
case "$(status_text)" in
    " Palmo GPS Receiver"*) ;;
    *) fail "\"Stop recording\" did not stop: the status bar reads \"$(status_text)\"" ;;
esac
close_app
if [ -s "$track" ]; then
    xmllint --noout --schema "$source_dir/tests/data/gpx/gpx.xsd" "$track" 2>"$work/lint.txt" ||
        fail "the track is not valid GPX: $(head -c 500 "$work/lint.txt")"
    written=$(grep -c "<trkpt " "$track")
    read_back=$(gpsbabel -t -i gpx -f "$track" -o unicsv -F - | tail -n +2 | grep -c .)
    [ "$written" -ge 10 ] && [ "$read_back" = "$written" ] ||
        fail "gpsbabel read $read_back points of the $written in the track"
    grep -q '^\$GPRMC,' "${track%.gpx}.nmea" || fail "the NMEA log beside the track holds no GPRMC"
else
    fail "no track at $track"
fi

if [ "$failures" = 0 ]; then
    echo "palmogps_window: every check passed"
    exit 0
fi
echo "palmogps_window: $failures checks failed"
exit 1
