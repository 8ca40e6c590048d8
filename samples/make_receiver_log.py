#!/usr/bin/env python3
"""Writes receiver.nmea: three minutes of a receiver at 1 Hz on a boat.

Cold start with the tail of a sentence and line noise, no fix, a 2D fix, a 3D
fix, a few seconds without fix under a bridge, a spell of differential fixes
and back; GSV and VTG lines besides the
decoded kinds, one corrupted line, CRLF line ends. Deterministic.
"""
import math
import random
from functools import reduce

random.seed(1899)
OUT = "receiver.nmea"


def sentence(payload):
    ck = reduce(lambda a, c: a ^ ord(c), payload, 0)
    return "$%s*%02X\r\n" % (payload, ck)


def degmin(value, width):
    value = abs(value)
    deg = int(value)
    minutes = (value - deg) * 60
    return "%0*d%07.4f" % (width, deg, minutes)


lat, lon = 59.8520567, 10.7261300  # Oslo fjord
speed_kn, course = 5.2, 45.0
sats = [(3, 41, 77), (7, 65, 140), (8, 12, 301), (11, 33, 260), (16, 71, 30),
        (18, 8, 190), (21, 25, 95), (26, 52, 210), (27, 19, 340), (30, 44, 15)]
stream = []
stream.append("7.4,T,,M,0.3,N,0.6,K,A*3C\r\n")  # tail caught at power-up
stream.append("\x00\xff\xfe$GP\x80\r\n")         # line noise while the UART settles

for t in range(180):
    hh, mm, ss = 10, 15 + (t // 60), t % 60
    utc = "%02d%02d%02d.00" % (hh, mm, ss)
    date = "150624"
    if t < 20 or 100 <= t < 104:  # cold start, then a bridge overhead
        phase, used, dim, quality = "none", [], 1, 0
    elif t < 45:
        phase, used, dim, quality = "2d", [7, 16, 26], 2, 1
    elif t < 120 or t >= 150:
        phase, used, dim, quality = "3d", [3, 7, 11, 16, 21, 26, 30], 3, 1
    else:
        phase, used, dim, quality = "dgps", [3, 7, 8, 11, 16, 21, 26, 27, 30], 3, 2

    if phase != "none":
        step = speed_kn * 1852 / 3600  # metres per second
        lat += step * math.cos(math.radians(course)) / 111120
        lon += step * math.sin(math.radians(course)) / (111120 * math.cos(math.radians(lat)))
        course = (course + random.uniform(-1.5, 1.5)) % 360
        speed_kn = max(0.0, speed_kn + random.uniform(-0.2, 0.2))

    ns, ew = degmin(lat, 2), degmin(lon, 3)
    hdop = {"none": "99.99", "2d": "4.1", "3d": "1.2", "dgps": "0.8"}[phase]
    if quality:
        alt = "%.1f" % (12.3 + random.uniform(-0.8, 0.8))
        age, stn = ("%.1f" % (1 + t % 5), "0136") if quality == 2 else ("", "")
        gga = "GPGGA,%s,%s,N,%s,E,%d,%02d,%s,%s,M,39.8,M,%s,%s" % (
            utc, ns, ew, quality, len(used), hdop, alt, age, stn)
    else:
        gga = "GPGGA,%s,,,,,0,00,99.99,,,,,," % utc
    slots = ["%02d" % s for s in used] + [""] * (12 - len(used))
    dops = {"none": ("99.99", "99.99", "99.99"), "2d": ("4.3", "4.1", "1.0"),
            "3d": ("2.1", "1.2", "1.7"), "dgps": ("1.4", "0.8", "1.1")}[phase]
    gsa = "GPGSA,A,%d,%s,%s,%s,%s" % (dim, ",".join(slots), *dops)
    if quality:
        rmc = "GPRMC,%s,A,%s,N,%s,E,%.1f,%.1f,%s,3.9,E,%s" % (
            utc, ns, ew, speed_kn, course, date, "D" if quality == 2 else "A")
        vtg = "GPVTG,%.1f,T,%.1f,M,%.1f,N,%.1f,K,%s" % (
            course, (course - 3.9) % 360, speed_kn, speed_kn * 1.852, "D" if quality == 2 else "A")
    else:
        rmc = "GPRMC,%s,V,,,,,,,%s,,,N" % (utc, date)
        vtg = None

    lines = [sentence(gga), sentence(gsa)]
    if t % 5 == 0:
        visible = sats if phase != "none" else sats[:4]
        groups = [visible[i:i + 4] for i in range(0, len(visible), 4)]
        for n, group in enumerate(groups, 1):
            body = ",".join("%02d,%02d,%03d,%s" % (p, e, a, "%02d" % random.randint(20, 45)
                                                   if p in used else "")
                            for p, e, a in group)
            lines.append(sentence("GPGSV,%d,%d,%02d,%s" % (len(groups), n, len(visible), body)))
    lines.append(sentence(rmc))
    if vtg:
        lines.append(sentence(vtg))
    if t == 77:
        # One byte changed on the way: the checksum no longer matches.
        bad = lines[-2]
        lines[-2] = bad.replace(",N,", ",M,", 1)
    stream.extend(lines)

with open(OUT, "w", newline="", encoding="latin-1") as f:
    f.write("".join(stream))
