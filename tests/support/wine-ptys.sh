#!/usr/bin/env bash
# Runs a Windows test program under Wine with pseudo-terminal pairs behind its
# COM ports: usage  wine-ptys.sh <build dir> <program> [arguments...]
#
# Only programs that look for the pairs (they name PALMO_WINE_COM) get them;
# the others run at once. For those, socat links pseudo-terminal pairs at
# <build dir>/wine-com/comN, which wine-run.sh maps to COMN, pairing COM1 with
# COM2, COM3 with COM4, COM5 with COM6 and COM7 with COM8; a test opens one end
# through the dispatcher and the other end as the far end. COM9 stays absent.
#
# The program finds the folder as PALMO_WINE_COM (a Z: path). Creating the
# file "vanish-N" there makes the pair of COMN vanish: its socat is killed, so
# both pseudo-terminals lose their other side; the file is removed when done.
#
# Runs that need the pairs are serialised (a lock per build tree, held on
# descriptor 8 by this script alone: what it starts gets the descriptor
# closed, since Wine's service processes outlive the program and would hold
# the lock for good). Every socat
# is stopped on exit; the exit status is the program's, and a failure when the
# program crashed.
set -u
build="$(cd "$1" && pwd)"
shift
program="$1"

# Runs the program; Wine reports a crashed program as a success, so its
# report of an unhandled exception turns the status into a failure. The output
# goes through a file: a Wine server started here keeps the program's output
# open after the program has ended.
run_program() {
    local out status
    out="$(mktemp)"
    "$build/wine-run.sh" "$@" >"$out" 2>&1 8>&-
    status=$?
    cat "$out"
    if grep -qa -e "^wine: Unhandled" -e "^Unhandled exception:" "$out"; then
        echo "wine-ptys.sh: $(basename "$1") crashed" >&2
        [ "$status" = 0 ] && status=1
    fi
    rm -f "$out"
    return "$status"
}

if ! grep -qa PALMO_WINE_COM "$program" 2>/dev/null; then
    run_program "$@"
    exit $?
fi

com="$build/wine-com"
mkdir -p "$com"
exec 8>"$com/.lock"
flock 8

declare -A pair_pid=()
watcher=""
cleanup() {
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    for p in "${pair_pid[@]}"; do
        kill "$p" 2>/dev/null
    done
    wait 2>/dev/null
    rm -f "$com"/com[1-9] "$com"/vanish-*
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -f "$com"/com[1-9] "$com"/vanish-*
for first in 1 3 5 7; do
    second=$((first + 1))
    socat "pty,raw,echo=0,link=$com/com$first" "pty,raw,echo=0,link=$com/com$second" 8>&- &
    pair_pid[$first]=$!
done
# Wait (at most 5 s) until every link is there.
for _ in $(seq 1 100); do
    ready=1
    for n in 1 2 3 4 5 6 7 8; do
        [ -e "$com/com$n" ] || ready=0
    done
    [ "$ready" = 1 ] && break
    sleep 0.05
done

# Makes a pair vanish on request; stops the pairs if this script was killed
# without its clean-up (a test time-out).
(
    while :; do
        if ! kill -0 $$ 2>/dev/null; then
            for p in "${pair_pid[@]}"; do
                kill "$p" 2>/dev/null
            done
            exit 0
        fi
        for f in "$com"/vanish-*; do
            [ -e "$f" ] || continue
            n="${f##*/vanish-}"
            case "$n" in
                [1-8]) ;;
                *)
                    rm -f "$f"
                    continue
                    ;;
            esac
            first=$(((n - 1) / 2 * 2 + 1))
            [ -n "${pair_pid[$first]:-}" ] && kill "${pair_pid[$first]}" 2>/dev/null
            rm -f "$f"
        done
        sleep 0.05
    done
) 8>&- &
watcher=$!

export PALMO_WINE_COM="Z:${com//\//\\}"
run_program "$@"
exit $?
