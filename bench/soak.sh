#!/usr/bin/env bash
# Soak test of the receiving path: two simulated receivers at full rate, each
# on its own pseudo-terminal, and gpscat reading one of them and switching
# its port to the other and back every SOAK_SWITCH_SECONDS (default 30), for
# MINUTES (default 10). Prints a short report and exits non-zero when a line
# went missing anywhere but at a switch, or gpscat's descriptors, threads or
# memory grew.
#
#   bench/soak.sh [MINUTES]
#   PALMO_BUILD         build directory with gpscat and nmeasim (default build/default)
#   SOAK_SWITCH_SECONDS seconds between port switches (default 30)
#   SOAK_RSS_SLACK_KB   resident memory the end may have above the start (default 1024)
#   SOAK_LOG            also copy the report to this file
#
# gpscat's resident memory, descriptors and threads are read from /proc in
# the middle of each switch period (never during a switch): the start
# figures after the first switch (both ports then have been opened once),
# or in the first period of a run with fewer than three, the end figures
# in the last period.
set -uo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
every=${SOAK_SWITCH_SECONDS:-30}
slack=${SOAK_RSS_SLACK_KB:-1024}
build=${PALMO_BUILD:-build/default}
case "$minutes$every$slack" in
*[!0-9]*) echo "usage: bench/soak.sh [MINUTES] (whole numbers)" >&2; exit 2 ;;
esac
if [ "$minutes" -lt 1 ] || [ "$every" -lt 2 ]; then
    echo "usage: bench/soak.sh [MINUTES] (1 or more; SOAK_SWITCH_SECONDS 2 or more)" >&2
    exit 2
fi
sim=$build/tools/nmeasim/nmeasim
cat=$build/tools/gpscat/gpscat
for p in "$sim" "$cat"; do
    [ -x "$p" ] || { echo "soak: $p is missing (build gpscat and nmeasim first)" >&2; exit 2; }
done
seeds=(0 1401 2802)

work=$(mktemp -d /tmp/palmo-soak.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for n in 1 2; do
    "$sim" --seed "${seeds[$n]}" --speed 0 --persist --stats --link "$work/gps$n" \
        >"$work/sim$n.out" 2>"$work/sim$n.err" &
    pids+=($!)
    simpid[$n]=$!
done
for _ in $(seq 1 100); do
    [ -L "$work/gps1" ] && [ -L "$work/gps2" ] && break
    sleep 0.05
done

mkfifo "$work/events"
awk -v sim="$sim" -v seed1="${seeds[1]}" -v seed2="${seeds[2]}" -v out="$work/figures" \
    -f bench/soak-check.awk "$work/events" 2>"$work/check.err" &
checkpid=$!
pids+=($checkpid)
PALMOGPS_PORTS="$work/gps1:$work/gps2" "$cat" --port 1 --switch-port 2 \
    --switch-every "$every" >"$work/events" 2>"$work/cat.err" &
catpid=$!
pids+=($catpid)
started=$(date +%s%N)

# RSS (KiB), descriptors and threads of gpscat now.
sample() {
    local rss threads fds
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$catpid/status" 2>/dev/null)
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$catpid/status" 2>/dev/null)
    fds=$(find "/proc/$catpid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
    echo "${rss:-0} $fds ${threads:-0}"
}
sleep_until() {  # milliseconds after the start
    local now left
    now=$((($(date +%s%N) - started) / 1000000))
    left=$(($1 - now))
    [ "$left" -gt 0 ] && sleep "$((left / 1000)).$(printf '%03d' $((left % 1000)))"
}

total_ms=$((minutes * 60000))
samples=()
for ((at = every * 500; at < total_ms; at += every * 1000)); do
    sleep_until "$at"
    kill -0 "$catpid" 2>/dev/null || break
    samples+=("$(sample)")
done
sleep_until "$total_ms"
alive=1
kill -0 "$catpid" 2>/dev/null || alive=0

# Ctrl-C closes the port cleanly; a close that hangs is a failure too.
kill -INT "$catpid" 2>/dev/null
for _ in $(seq 1 100); do
    kill -0 "$catpid" 2>/dev/null || break
    sleep 0.1
done
hung=0
if kill -0 "$catpid" 2>/dev/null; then
    hung=1
    kill -KILL "$catpid" 2>/dev/null
fi
wait "$catpid"
catstatus=$?
wait "$checkpid"
for n in 1 2; do
    kill -TERM "${simpid[$n]}" 2>/dev/null
    wait "${simpid[$n]}"
done
pids=()

report() {
    local failed=0 n sent consumed matched damaged gap lost fragments tail
    local sent_all=0 received_all=0 gap_all=0 lost_all=0 fragments_all=0
    local opens
    echo "soak: $minutes min, gpscat switching between COM1 and COM2 every $every s"
    for n in 1 2; do
        sent=$(sed -nE 's/^nmeasim: ([0-9]+) lines written$/\1/p' "$work/sim$n.err")
        read -r _ _ _ consumed _ matched _ damaged _ gap _ lost _ fragments \
            < <(grep "^port $n " "$work/figures" 2>/dev/null)
        if [ -z "$sent" ] || [ -z "${consumed:-}" ]; then
            echo "  COM$n: no figures ($(cat "$work/sim$n.err" "$work/check.err"))"
            failed=1
            continue
        fi
        tail=$((sent - consumed))
        echo "  COM$n: $sent lines sent, $((matched + damaged)) received ($damaged of them" \
             "damaged by the simulator and rejected), $((gap + tail)) in the switch gaps" \
             "($tail unread at the end), $lost lost elsewhere, $fragments cut by a switch"
        sent_all=$((sent_all + sent))
        received_all=$((received_all + matched + damaged))
        gap_all=$((gap_all + gap + tail))
        lost_all=$((lost_all + lost))
        fragments_all=$((fragments_all + fragments))
        if [ "$tail" -lt 0 ]; then
            echo "  COM$n: more lines matched than sent"
            failed=1
        fi
    done
    read -r _ events _ comloss _ other _ errors _ switches \
        < <(tail -n 1 "$work/figures" 2>/dev/null)
    echo "  total: $sent_all lines sent, $received_all received, $gap_all in the gaps of" \
         "${switches:-0} switches, $lost_all lost outside them;" \
         "$((sent_all / (minutes * 60))) lines/s"
    [ "$lost_all" -eq 0 ] || { echo "  FAIL: lines lost outside the switch gaps:"; sed 's/^/    /' "$work/check.err"; failed=1; }
    # A switch can cut one line of the port it leaves and one of the port it
    # opens; nothing else may arrive unsent.
    opens=$((${switches:-0} + 1))
    [ "$fragments_all" -le "$opens" ] ||
        { echo "  FAIL: $fragments_all received lines were never sent"; failed=1; }
    [ "${errors:-1}" -eq 0 ] || { echo "  FAIL: the check found $errors errors: $(cat "$work/check.err")"; failed=1; }
    [ "${comloss:-0}" -eq 0 ] && [ "${other:-0}" -eq 0 ] ||
        { echo "  FAIL: ${comloss:-0} silences (OnComLoss) and ${other:-0} device events"; failed=1; }
    [ "${switches:-0}" -ge $((minutes * 60 / every - 1)) ] ||
        { echo "  FAIL: only ${switches:-0} switches"; failed=1; }
    [ "$alive" -eq 1 ] && [ "$hung" -eq 0 ] && [ "$catstatus" -eq 0 ] ||
        { echo "  FAIL: gpscat ended with status $catstatus (hung at the close: $hung): $(cat "$work/cat.err")"; failed=1; }

    local count=${#samples[@]} first last
    if [ "$count" -lt 2 ]; then
        echo "  FAIL: too few resource samples ($count)"
        return 1
    fi
    first=0
    [ "$count" -ge 3 ] && first=1
    read -r rss0 fds0 thr0 <<<"${samples[$first]}"
    read -r rss1 fds1 thr1 <<<"${samples[$((count - 1))]}"
    echo "  gpscat at $(((first * every) + every / 2)) s: RSS $rss0 KiB, $fds0 descriptors, $thr0 threads"
    echo "  gpscat at $(((count - 1) * every + every / 2)) s: RSS $rss1 KiB, $fds1 descriptors, $thr1 threads"
    echo "  RSS samples (KiB): $(for s in "${samples[@]}"; do printf '%s ' "${s%% *}"; done)"
    [ "$fds1" -eq "$fds0" ] && [ "$thr1" -eq "$thr0" ] ||
        { echo "  FAIL: descriptors or threads grew"; failed=1; }
    [ "$rss1" -le $((rss0 + slack)) ] ||
        { echo "  FAIL: RSS grew by $((rss1 - rss0)) KiB (more than $slack KiB)"; failed=1; }
    if [ "$failed" -eq 0 ]; then
        echo "soak: passed"
    else
        echo "soak: FAILED"
    fi
    return "$failed"
}

report | tee "${SOAK_LOG:-/dev/null}"
exit "${PIPESTATUS[0]}"
