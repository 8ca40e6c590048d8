#!/usr/bin/env bash
# Builds and runs every test: the Linux build, the Windows build under Wine,
# and a bounded fuzz run. Exits non-zero on any failure.
#   FUZZ_SECONDS   length of the whole fuzz run, shared by the fuzzers (default 60)
#   PALMO_SANITIZERS=1  also runs the asan and tsan presets
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test || exit 1

jobs=$(nproc)
status=0
summary=()
logdir=build/test-logs
mkdir -p "$logdir"
rm -f "$logdir"/*.log "$logdir"/package-*

step() { echo; echo "=== $* ==="; }

# The window tests need a display: without one, a virtual X server runs for
# the length of this script.
xvfb_pid=
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 120); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
        export DISPLAY=":$n"
        break
    done
fi
trap '[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null' EXIT
fail() { echo "FAILED: $*"; status=1; }

# Runs ctest for a preset and keeps its closing count for the summary.
run_ctest() {
    local preset=$1
    shift
    ctest --preset "$preset" -j"$jobs" "$@" 2>&1 | tee "$logdir/$preset.log"
    local rc=${PIPESTATUS[0]}
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$logdir/$preset.log" | tail -1)
    summary+=("$preset: ${line:-no tests ran}")
    [ "$rc" -eq 0 ] && [ -n "$line" ] || fail "ctest $preset"
}

# Builds a preset's packages and runs their check script, which ends with
# "N passed, N failed"; the counts join the closing total.
run_package() {
    local preset=$1 script=$2 name
    name=package-$preset
    step "packages ($preset)"
    if ! cmake --build --preset "$preset" -j"$jobs" --target package >"$logdir/$name.build" 2>&1; then
        tail -n 30 "$logdir/$name.build"
        summary+=("$name: the packages could not be made")
        fail "package $preset"
        return
    fi
    "$script" "build/$preset" 2>&1 | tee "$logdir/$name.txt"
    local rc=${PIPESTATUS[0]}
    summary+=("$name: $(grep -E '^(SKIPPED|[0-9]+ passed, [0-9]+ failed)' "$logdir/$name.txt" | tail -1)")
    [ "$rc" -eq 0 ] || fail "package $preset"
}

build() {
    local preset=$1
    step "build $preset"
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$jobs" \
        || { fail "build $preset"; return 1; }
}

if build default; then
    step "tests (Linux)"
    # The recorded receiver logs the tests read (downloaded once).
    scripts/receiver-corpus.sh build/receivers || fail "receiver logs"
    run_ctest default
    run_package default tests/package/deb.sh
    # One minute of the soak test: a line lost outside the port switches, or
    # growth of gpscat's descriptors, threads or memory, fails the run.
    step "soak test (1 minute)"
    if SOAK_LOG="$logdir/soak.txt" bench/soak.sh 1; then
        summary+=("soak: passed (1 minute)")
    else
        summary+=("soak: FAILED (see $logdir/soak.txt)")
        fail "soak test"
    fi
fi

if [ "${PALMO_SANITIZERS:-0}" = 1 ]; then
    for p in asan tsan; do
        if build "$p"; then
            step "tests ($p)"
            run_ctest "$p"
        fi
    done
fi

if build mingw; then
    step "tests (Windows under Wine)"
    # The first run makes the prefix and claims its COM ports (see cmake/wine-run.sh.in).
    build/mingw/wine-run.sh cmd /c exit >/dev/null 2>&1 || true
    export WINEPREFIX=$PWD/build/mingw/wineprefix
    wineserver -p            # keep one Wine server for all test programs
    run_ctest mingw
    run_package mingw tests/package/nsis.sh
    wineserver -k 2>/dev/null || true
fi

if build fuzz; then
    fuzzers=()
    for f in build/fuzz/fuzz/fuzz_*; do
        [ -f "$f" ] && [ -x "$f" ] && fuzzers+=("$f")
    done
    # The fuzz time is shared evenly, at least a second each.
    secs=$(( ${FUZZ_SECONDS:-60} / (${#fuzzers[@]} > 0 ? ${#fuzzers[@]} : 1) ))
    [ "$secs" -ge 1 ] || secs=1
    for f in "${fuzzers[@]}"; do
        name=$(basename "$f")
        step "fuzz $name (${secs}s)"
        work=$(mktemp -d)
        seeds=fuzz/corpus/${name#fuzz_}
        if "$f" -max_total_time="$secs" -print_final_stats=1 "$work" ${seeds:+$( [ -d "$seeds" ] && echo "$seeds")} \
            >"$logdir/$name.log" 2>&1; then
            tail -n 3 "$logdir/$name.log"
            summary+=("$name: no finding in ${secs}s")
        else
            tail -n 40 "$logdir/$name.log"
            fail "fuzz $name"
        fi
        rm -rf "$work"
    done
fi

echo
echo "=== summary ==="
printf '%s\n' "${summary[@]}"
# One closing count over every ctest run and package check.
read -r passed failed < <({
    cat "$logdir"/*.log 2>/dev/null |
        sed -nE 's/.*tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p'
    cat "$logdir"/package-*.txt 2>/dev/null |
        sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$/\2 \1 \2/p' | awk '{print $1, $2 + $3}'
} | awk '{f+=$1; t+=$2} END {print t-f, f+0}')
[ "$status" -eq 0 ] || [ "${failed:-0}" -gt 0 ] || failed=1
echo "tests: ${passed:-0} passed, ${failed:-0} failed"
exit "$status"
