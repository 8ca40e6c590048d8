#!/usr/bin/env python3
"""Compare gpscat's decoding of the recorded logs with gpsd's own.

Usage: compare_gpsd.py GPSCAT DIR [NAME ...]

DIR is where scripts/receiver-corpus.sh put the logs: NAME.nmea and, for
most, NAME.gpsd.json, gpsd's regression reference (every sentence gpsd read,
each followed by the JSON reports it made from it). gpscat runs with
--dialect gnss --satellites on each log; per log this prints:

- fixes: gpscat's OnValidFix events matched with gpsd's TPV reports by time
  of day (the RMC's own time field, fraction included), position differences
  above 1e-7 degrees, TPV dates that differ from the RMC's, and the fixes
  only one side has; gpsd's extra TPVs are counted by the sentence that made
  them and their mode;
- satellites: the satellites either side ever listed in view (gpscat's
  OnSatellites, gpsd's SKY), the last lists of both and which satellites of
  them are marked used, in gpsd's numbering
  (GPS 1-32, SBAS 120-158, GLONASS 65-96, Galileo 301-336, BeiDou 401-437,
  QZSS 193-202).

The output is a report: the exit status is 0 unless a program or file fails.
"""

import collections
import json
import os
import subprocess
import sys

TOLERANCE = 1e-7  # degrees

GNSSID = {0: "GPS", 1: "SBAS", 2: "Galileo", 3: "BeiDou", 5: "QZSS", 6: "GLONASS", 7: "NavIC"}
# gpsd's numbering: the offset added to a system's own satellite number.
OFFSET = {"GPS": 0, "SBAS": 0, "GLONASS": 64, "Galileo": 300, "BeiDou": 400, "QZSS": 192, "NavIC": 0}


def svid_of(system, prn):
    """A receiver's satellite number as the system's own number (gpsd's svid)."""
    if system == "SBAS" and 33 <= prn <= 64:
        return prn + 87
    if system == "GLONASS" and 65 <= prn <= 96:
        return prn - 64
    if system == "Galileo" and 301 <= prn <= 336:
        return prn - 300
    if system == "BeiDou" and 401 <= prn <= 463:
        return prn - 400
    if system == "BeiDou" and 201 <= prn <= 263:
        return prn - 200
    if system == "QZSS" and 193 <= prn <= 202:
        return prn - 192
    return prn


# A system's own satellite numbers; anything else is the receiver's own numbering.
RANGE = {"GPS": (1, 32), "SBAS": (120, 158), "GLONASS": (1, 32), "Galileo": (1, 36),
         "BeiDou": (1, 63), "QZSS": (1, 10), "NavIC": (1, 14)}


def label(system, svid):
    """gpsd's number of a satellite, or the receiver's own number after a '#'."""
    low, high = RANGE.get(system, (0, -1))
    if low <= svid <= high:
        return "%s%d" % (system[:3], svid + OFFSET.get(system, 0))
    return "%s#%d" % (system[:3], svid)


def seconds_of_day(hhmmss):
    """Seconds since midnight of an NMEA time field, None when it is none."""
    try:
        return int(hhmmss[0:2]) * 3600 + int(hhmmss[2:4]) * 60 + float(hhmmss[4:])
    except (ValueError, IndexError):
        return None


def ms_key(seconds):
    return int(round(seconds * 1000))


def clock(key):
    s = key / 1000.0
    return "%02d:%02d:%06.3f" % (s // 3600, s // 60 % 60, s % 60)


def read_gpscat(gpscat, log):
    """gpscat's fixes [(key, date, lat, lon, sentence)] and satellite lists."""
    out = subprocess.run(
        [gpscat, "--dialect", "gnss", "--satellites", log], check=True, capture_output=True
    ).stdout.decode("utf-8")
    fixes, lists = [], []
    sentence = ""
    lines = 0
    for line in out.splitlines():
        event = json.loads(line)
        kind = event["event"]
        if kind == "OnSentence":
            sentence = event["Sentence"]
            lines += 1
        elif kind == "OnError":
            lines += 1
        elif kind == "OnValidFix":
            fields = sentence.split(",")
            seconds = seconds_of_day(fields[1]) if len(fields) > 1 else None
            date = (event["UTCTime"] or "")[:10]
            if seconds is not None:
                fixes.append((ms_key(seconds), date, event["Lat"], event["Lon"], sentence))
        elif kind == "OnSatellites":
            lists.append(
                {
                    (s["System"], svid_of(s["System"], s["PRN"])): s["Used"]
                    for s in event["Satellites"]
                }
            )
    return fixes, lists, lines


def read_gpsd(path):
    """gpsd's TPVs [(key, date, lat, lon, mode, sentence type)] and SKY lists."""
    tpvs, lists = [], []
    sentence = ""
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.strip()
            if line.startswith("$") or line.startswith("!"):
                sentence = line
                continue
            if not line.startswith("{"):
                continue
            try:
                report = json.loads(line)
            except ValueError:
                continue
            if report.get("class") == "TPV" and "lat" in report:
                key = None  # a position without a time
                if "time" in report:
                    time = report["time"]
                    key = ms_key(seconds_of_day(time[11:13] + time[14:16] + time[17:].rstrip("Z")))
                if sentence.startswith("$P"):
                    kind = sentence[1:6]
                else:
                    kind = sentence[3:6]
                tpvs.append(
                    (key, report.get("time", "")[:10], report["lat"], report["lon"], report.get("mode", 0), kind)
                )
            elif report.get("class") == "SKY" and "satellites" in report:
                lists.append(
                    {
                        (GNSSID.get(s.get("gnssid"), "?"), s.get("svid", s.get("PRN"))): s.get(
                            "used", False
                        )
                        for s in report["satellites"]
                    }
                )
    return tpvs, lists


def names(sats):
    return " ".join(label(system, svid) for system, svid in sorted(sats))


def compare(gpscat, folder, name):
    log = os.path.join(folder, name + ".nmea")
    ref = os.path.join(folder, name + ".gpsd.json")
    print("== " + name)
    if not os.path.exists(ref):
        print("   no gpsd reference")
        return
    fixes, our_lists, lines = read_gpscat(gpscat, log)
    tpvs, gpsd_lists = read_gpsd(ref)
    if lines == 0:
        print("   gpscat decodes no line (no carriage return ends a line); gpsd: %d TPV" % len(tpvs))
        return

    by_key = collections.defaultdict(list)
    for t in tpvs:
        if t[0] is not None:
            by_key[t[0]].append(t)
    matched, far, dates, ours_only = 0, [], collections.Counter(), []
    our_keys = set()
    for key, date, lat, lon, sentence in fixes:
        our_keys.add(key)
        candidates = by_key.get(key)
        if not candidates:
            ours_only.append((key, sentence))
            continue
        matched += 1
        best = min(candidates, key=lambda t: abs(t[2] - lat) + abs(t[3] - lon))
        d = max(abs(best[2] - lat), abs(best[3] - lon))
        if d > TOLERANCE:
            far.append((d, key, best[5]))
        if best[1] != date:
            dates[(date, best[1])] += 1
    gpsd_only = collections.Counter()
    for key, date, lat, lon, mode, kind in tpvs:
        if key is None:
            gpsd_only["%s mode %d without time" % (kind, mode)] += 1
        elif key not in our_keys:
            gpsd_only["%s mode %d" % (kind, mode)] += 1
    print(
        "   fixes: gpscat %d, gpsd TPV %d (%d times), matched %d"
        % (len(fixes), len(tpvs), len(by_key), matched)
    )
    if far:
        far.sort(reverse=True)
        print(
            "   position differs by more than 1e-7 deg: %d, largest %.2e deg at %s (TPV after %s)"
            % (len(far), far[0][0], clock(far[0][1]), far[0][2])
        )
    for (ours, theirs), n in sorted(dates.items()):
        print("   date differs: gpscat %s, gpsd %s (%d fixes)" % (ours, theirs, n))
    if ours_only:
        print(
            "   only gpscat: %d, first at %s: %s" % (len(ours_only), clock(ours_only[0][0]), ours_only[0][1])
        )
    if gpsd_only:
        print(
            "   only gpsd (TPVs at times gpscat has no fix for, by sentence and mode): "
            + ", ".join("%s %d" % kv for kv in sorted(gpsd_only.items()))
        )

    ours = set().union(*our_lists) if our_lists else set()
    theirs = set().union(*gpsd_lists) if gpsd_lists else set()
    print("   satellites ever in view: gpscat %d, gpsd %d" % (len(ours), len(theirs)))
    if ours - theirs:
        print("   only gpscat lists: " + names(ours - theirs))
    if theirs - ours:
        print("   only gpsd lists: " + names(theirs - ours))
    if our_lists and gpsd_lists:
        last_ours, last_theirs = set(our_lists[-1]), set(gpsd_lists[-1])
        if last_ours != last_theirs:
            print(
                "   last lists differ: gpscat %d, gpsd %d; only gpscat: %s; only gpsd: %s"
                % (
                    len(last_ours),
                    len(last_theirs),
                    names(last_ours - last_theirs) or "-",
                    names(last_theirs - last_ours) or "-",
                )
            )
        used_ours = {k for k, used in our_lists[-1].items() if used and k in last_theirs}
        used_theirs = {k for k, used in gpsd_lists[-1].items() if used and k in last_ours}
        if used_ours != used_theirs:
            print(
                "   used in the last lists: only gpscat: %s; only gpsd: %s"
                % (names(used_ours - used_theirs) or "-", names(used_theirs - used_ours) or "-")
            )


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    gpscat, folder = argv[0], argv[1]
    wanted = argv[2:] or sorted(n[:-5] for n in os.listdir(folder) if n.endswith(".nmea"))
    for name in wanted:
        compare(gpscat, folder, name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
