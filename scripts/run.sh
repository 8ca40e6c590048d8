#!/usr/bin/env bash
# Builds PalmoGPS and starts it on its embedded default: the simulated GPS
# receiver nmeasim on a pseudo-terminal, listed in PALMOGPS_PORTS as COM1, and
# the main window (tick "GPS Available " and the fix appears; closing the
# window ends it). On a machine with no display it says so and runs the
# headless receiver gpscat on the simulator instead (Ctrl-C ends it).
#
# scripts/run.sh --gnss: the simulator's GNSS receiver (every satellite
# system) and the window started in GNSS mode with the port open and the
# satellites window shown: palmogps --gnss --open --satellites.
set -euo pipefail
sim_args=()
app_args=()
cat_args=()
case "${1:-}" in
    "") ;;
    --gnss)
        sim_args=(--dialect gnss)
        app_args=(--gnss --open --satellites)
        cat_args=(--dialect gnss)
        ;;
    *)
        echo "usage: scripts/run.sh [--gnss]" >&2
        exit 2
        ;;
esac
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target palmogps nmeasim gpscat

bin=build/default
work=$(mktemp -d "${TMPDIR:-/tmp}/palmogps.XXXXXX")
link=$work/gps0
sim_pid=
child=
stop() {
    [ -n "$child" ] && kill "$child" 2>/dev/null && wait "$child" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    child=
    sim_pid=
}
trap 'stop; rm -rf "$work"' EXIT
trap 'stop; exit 130' INT
trap 'stop; exit 143' TERM

# Runs a program in the background and waits for it, so that Ctrl-C and a
# termination reach the traps above at once; its exit status.
run() {
    "$@" &
    child=$!
    local rc=0
    wait "$child" || rc=$?
    child=
    return "$rc"
}

# The simulator keeps its line while readers come and go (the window probes
# the ports before it opens one).
"$bin/tools/nmeasim/nmeasim" "${sim_args[@]}" --link "$link" --persist >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
    [ -e "$link" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
done
if [ ! -e "$link" ]; then
    echo "run.sh: the GPS simulator did not start" >&2
    exit 1
fi
export PALMOGPS_PORTS=$link
echo "Simulated GPS receiver on $(readlink "$link"), which PalmoGPS sees as COM1."

headless() {
    echo "Reading the simulator with the headless receiver instead: gpscat --port 1"
    echo "(one JSON line per receiver event; Ctrl-C ends it)."
    run "$bin/tools/gpscat/gpscat" "${cat_args[@]}" --port 1
}

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
    echo "No display: neither DISPLAY nor WAYLAND_DISPLAY is set, and the PalmoGPS window"
    echo "needs a graphical desktop."
    headless
    exit $?
fi

if [ ${#app_args[@]} -gt 0 ]; then
    echo "Starting PalmoGPS ${app_args[*]}: COM1 opens at once; close the window to end."
else
    echo "Starting PalmoGPS: tick \"GPS Available \" to open COM1; close the window to end."
fi
rc=0
run "$bin/app/palmogps" "${app_args[@]}" 2> >(tee "$work/palmogps.err" >&2) || rc=$?
if [ "$rc" -ne 0 ] && grep -q "no display" "$work/palmogps.err" 2>/dev/null; then
    headless
    exit $?
fi
exit "$rc"
