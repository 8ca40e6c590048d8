#!/usr/bin/env bash
# gpscat.exe on COM1 under Wine, fed by the host's nmeasim through a
# pseudo-terminal linked at <build dir>/wine-com/com1 (where wine-run.sh maps
# COM1). usage: wine-gpscat.sh <build dir> <gpscat.exe> <host nmeasim>
#
# Checks: the events from the port are those gpscat.exe prints for the same
# bytes as a file; OnComLoss once after the simulator stops; Ctrl-C (SIGINT,
# which Wine turns into the console's Ctrl-C) closes the port and writes the
# trace and the log; a port that cannot be opened gives the component's
# message and status 1.
set -u
build="$(cd "$1" && pwd)"
gpscat="$2"
nmeasim="$3"
# shellcheck source=../support/wine-sim.sh
source "$(dirname "$0")/../support/wine-sim.sh"
take_com_links

scenario=(--seed 11 --count 30)
"$nmeasim" "${scenario[@]}" --stdout --speed 0 >"$work/same.nmea" || fail "nmeasim --stdout"
"$build/wine-run.sh" "$gpscat" "$(winpath "$work/same.nmea")" >"$work/expected.txt" 2>"$work/expected.err"
[ "$(wc -l <"$work/expected.txt")" -gt 100 ] || fail "gpscat.exe on the file: $(head -c 300 "$work/expected.err")"

start_sim_on_com1 "${scenario[@]}" --speed 10 || fail "nmeasim made no link: $(cat "$work/sim.err")"

: >"$work/got.txt"
"$build/wine-run.sh" "$gpscat" --port 1 --timeout 1500 --trace "$(winpath "$work/port.trc")" \
    --log "$(winpath "$work/port.log")" >"$work/got.txt" 2>"$work/got.err" &
app_pid=$!

# The simulator sends for 3 s, stays a second, ends; the silence comes 1.5 s
# after its last line. A start slower than the time-out is a silence too:
# losses before the first event do not count.
losses_after_lines() {
    awk '!/"OnComLoss"/ { seen = 1 } seen && /"OnComLoss"/ { n++ } END { print n + 0 }' "$work/got.txt"
}
for _ in $(seq 1 600); do
    [ "$(losses_after_lines)" -ge 1 ] && break
    sleep 0.1
done
[ "$(losses_after_lines)" -ge 1 ] || fail "no OnComLoss: $(head -c 300 "$work/got.err")"
sleep 3.5
losses=$(losses_after_lines)
[ "$losses" = 1 ] || fail "OnComLoss $losses times after the lines"
wait "$sim_pid"
sim_status=$?
sim_pid=""
[ "$sim_status" = 0 ] || fail "nmeasim ended with $sim_status"

kill -INT "$app_pid"
for _ in $(seq 1 200); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.05
done
wait "$app_pid"
cat_status=$?
app_pid=""
[ "$cat_status" = 0 ] || fail "gpscat.exe ended with $cat_status after Ctrl-C"

# The simulator's end may also show as a vanished device (OnDeviceLost and
# the reopening's OnDeviceBack), as it does on Linux; not every Wine reports it.
grep -v -e '"OnComLoss"' -e '"OnDeviceLost"' -e '"OnDeviceBack"' "$work/got.txt" | tr -d '\r' >"$work/got-events.txt"
tr -d '\r' <"$work/expected.txt" >"$work/expected-events.txt"
if ! cmp -s "$work/got-events.txt" "$work/expected-events.txt"; then
    fail "events from COM1 differ from those of the file"
    diff "$work/expected-events.txt" "$work/got-events.txt" | head -20
fi
grep -q 'GPRMC,101500.00,V,,,,,,,150624,,,N\*7C\[0D\]\[0A\]' "$work/port.trc" 2>/dev/null ||
    fail "no trace written at the close"
grep -q 'Device: COM1' "$work/port.log" 2>/dev/null || fail "no dispatch log written at the close"

# COM9 leads nowhere (wine-run.sh); opening it fails with the component's
# message. (Under Wine such a port opens and fails at its queue set-up, so the
# message is not the one of a missing port on Windows.)
"$build/wine-run.sh" "$gpscat" --port 9 >"$work/bad.txt" 2>"$work/bad.err"
bad_status=$?
[ "$bad_status" = 1 ] || fail "--port 9 ended with $bad_status"
grep -q "^gpscat: COM9: ." "$work/bad.err" || fail "--port 9 said: $(head -c 300 "$work/bad.err")"
[ -s "$work/bad.txt" ] && fail "--port 9 printed events"

rm -f "$com/com1"
if [ "$failures" = 0 ]; then
    echo "wine-gpscat: gpscat.exe on COM1 as from the file ($(wc -l <"$work/got-events.txt") events), OnComLoss once, trace and log at Ctrl-C, missing port reported"
fi
[ "$failures" = 0 ]
