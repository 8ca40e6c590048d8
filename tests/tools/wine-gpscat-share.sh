#!/usr/bin/env bash
# gpscat.exe under Wine sharing COM1 (the host's nmeasim behind it) in
# gpsd's JSON protocol, read by the Linux gpspipe.
# usage: wine-gpscat-share.sh <build dir> <gpscat.exe> <host nmeasim>
#
# Checks: the server tells its port (a free one, asked for with port 0);
# gpspipe -w gets VERSION, DEVICES (path COM1), WATCH, then TPVs of mode 3
# at the simulator's own --seed positions (within 1e-7 degrees) and SKYs
# with its satellites; Ctrl-C ends gpscat.exe with status 0.
set -u
build="$(cd "$1" && pwd)"
gpscat="$2"
nmeasim="$3"
# shellcheck source=../support/wine-sim.sh
source "$(dirname "$0")/../support/wine-sim.sh"
command -v gpspipe >/dev/null || { echo "FAILED: gpspipe is missing (scripts/deps.sh test)"; exit 1; }
take_com_links

scenario=(--seed 23 --count 600)
"$nmeasim" "${scenario[@]}" --stdout --speed 0 >"$work/track.nmea" || fail "nmeasim --stdout"
start_sim_on_com1 "${scenario[@]}" --speed 10 || fail "nmeasim made no link: $(cat "$work/sim.err")"

"$build/wine-run.sh" "$gpscat" --port 1 --serve 127.0.0.1:0 --quiet >"$work/cat.out" 2>"$work/cat.err" &
app_pid=$!
port=
for _ in $(seq 1 600); do
    port=$(sed -n 's/^gpscat: serving gpsd JSON on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$work/cat.err")
    [ -n "$port" ] && break
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$port" ] || fail "no serving line: $(head -c 300 "$work/cat.err")"

if [ -n "$port" ]; then
    timeout 120 gpspipe -w -n 150 "127.0.0.1:$port" >"$work/pipe.txt" 2>"$work/pipe.err" ||
        fail "gpspipe: $(head -c 300 "$work/pipe.err")"
    /usr/bin/python3 - "$work/track.nmea" "$work/pipe.txt" <<'PY' || fail "what gpspipe read"
import json, sys

def degrees(value, side):
    v = float(value)
    d = int(v // 100) + (v % 100) / 60
    return -d if side in ("S", "W") else d

fixes, skies, sky = {}, [], set()
for line in open(sys.argv[1], encoding="latin-1"):
    line = line.strip()
    # The simulator garbles some lines on purpose: only sound ones count.
    if not line.startswith("$") or "*" not in line:
        continue
    body, check = line[1:].split("*", 1)
    total = 0
    for c in body.encode("latin-1"):
        total ^= c
    if check[:2].upper() != "%02X" % total:
        continue
    f = body.split(",")
    if f[0] == "GPRMC" and len(f) > 6 and f[2] == "A" and f[3]:
        fixes[f[1][:6]] = (degrees(f[3], f[4]), degrees(f[5], f[6]))
    elif f[0] == "GPGSV" and len(f) > 3:
        if f[2] == "1":
            sky = set()
        for i in range(4, len(f) - 2, 4):
            if f[i] and f[i + 1] and f[i + 2]:
                sky.add((int(f[i]), int(f[i + 1]), int(f[i + 2])))
        if f[1] == f[2]:
            skies.append(sky)

objects = [json.loads(l) for l in open(sys.argv[2]) if l.strip()]
problems = []
if [o["class"] for o in objects[:3]] != ["VERSION", "DEVICES", "WATCH"]:
    problems.append("the first objects are %s" % [o["class"] for o in objects[:3]])
elif objects[1]["devices"][0]["path"] != "COM1":
    problems.append("device path %s" % objects[1]["devices"][0]["path"])
good_tpv = good_sky = 0
for o in objects[3:]:
    if o["class"] == "TPV" and o.get("mode") == 3:
        t = o["time"]
        key = t[11:13] + t[14:16] + t[17:19]
        lat, lon = fixes[key]
        if abs(o["lat"] - lat) > 1e-7 or abs(o["lon"] - lon) > 1e-7:
            problems.append("TPV of %s at %s,%s, the simulator at %s,%s" % (t, o["lat"], o["lon"], lat, lon))
        good_tpv += 1
    elif o["class"] == "SKY" and o["satellites"]:
        if {(s["PRN"], s["el"], s["az"]) for s in o["satellites"]} not in skies:
            problems.append("SKY not the simulator's: %s" % o["satellites"])
        good_sky += 1
if good_tpv < 3 or good_sky < 3:
    problems.append("%d TPVs of mode 3 and %d SKYs" % (good_tpv, good_sky))
for p in problems[:10]:
    print(p)
print("gpspipe: %d objects, %d TPVs of mode 3 at the track, %d SKYs" % (len(objects), good_tpv, good_sky))
sys.exit(1 if problems else 0)
PY
fi

kill -INT "$app_pid" 2>/dev/null
for _ in $(seq 1 200); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.05
done
wait "$app_pid"
cat_status=$?
app_pid=""
[ "$cat_status" = 0 ] || fail "gpscat.exe ended with $cat_status after Ctrl-C: $(head -c 300 "$work/cat.err")"

rm -f "$com/com1"
if [ "$failures" = 0 ]; then
    echo "wine-gpscat-share: gpscat.exe shared COM1, read by gpspipe"
fi
[ "$failures" = 0 ]
