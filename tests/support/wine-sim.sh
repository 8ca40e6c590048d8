# Sourced by the Wine tests that put the host's simulated receiver behind
# COM1: a work folder removed at exit, a count of failed checks, the COM
# links taken for the length of the test, and the simulator started there.
# The caller sets `build` (the Windows build folder) and `nmeasim` first;
# sim_pid and app_pid, when set, are ended at exit.
com="$build/wine-com"
work="$(mktemp -d)"
sim_pid=""
app_pid=""
failures=0

wine_sim_cleanup() {
    [ -n "$app_pid" ] && kill -KILL "$app_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap wine_sim_cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# A host path as Wine sees it.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The COM links are shared with the other Wine tests: one user at a time.
# The lock is on descriptor 8, which wine-run.sh closes for the Wine
# processes it starts (they may outlive this script).
take_com_links() {
    mkdir -p "$com"
    exec 8>"$com/.lock"
    flock 8
    rm -f "$com/com1"
}

# Starts the simulator with the given options behind COM1 (its output in
# sim.out and sim.err of the work folder) and waits for its link; false when
# none came.
start_sim_on_com1() {
    "$nmeasim" "$@" --link "$com/com1" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 1 200); do
        [ -e "$com/com1" ] && return 0
        sleep 0.05
    done
    return 1
}
