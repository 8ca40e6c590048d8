#!/usr/bin/env bash
# wine-ptys.sh keeps its lock to itself: a process that the wrapped program
# leaves running (as Wine leaves its service processes) must not hold the
# lock, or the next run waits for good. Usage: wine-ptys-lock-test.sh <wine-ptys.sh>
set -u
wrapper="$1"
build="$(mktemp -d)"
trap 'kill $(cat "$build"/left.pid 2>/dev/null) 2>/dev/null; rm -rf "$build"' EXIT
# A stand-in for wine-run.sh that leaves a process behind, and a program
# that asks for the COM pairs.
cat >"$build/wine-run.sh" <<'STUB'
#!/usr/bin/env bash
sleep 60 >/dev/null 2>&1 &
echo $! >>"$(dirname "$0")/left.pid"
exit 0
STUB
chmod +x "$build/wine-run.sh"
echo PALMO_WINE_COM >"$build/program"
for run in 1 2; do
    if ! timeout 20 bash "$wrapper" "$build" "$build/program"; then
        echo "FAILED: run $run did not finish (the lock is held by a process left behind)"
        exit 1
    fi
done
echo "both runs finished"
