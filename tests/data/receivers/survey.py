#!/usr/bin/env python3
"""Survey recorded NMEA-0183 receiver logs and print what each one contains.

Usage: survey.py [--markdown] [--examples] [DIR_OR_FILE ...]

With no argument it surveys every *.nmea file in build/receivers, where
scripts/receiver-corpus.sh puts the logs. The table
answers, per log: talkers, line ends, RMC with empty speed/course while the
status is A, fractional seconds, NMEA 4.1 signal IDs in GSV (and whether one
GSV group's parts carry different IDs), proprietary sentences, binary noise,
GLONASS/SBAS numbers inside $GPGSV, GSA field counts, GGA qualities and the
rate in epochs a second. --examples prints, per quirk, the first lines that
show it. The receiver column comes from corpus.tsv beside this script.

Only sentences with a correct checksum are counted; everything else that is
neither a sentence, a '#' comment line at a line start nor a line end is
counted as noise.
"""

import collections
import os
import re
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# Where scripts/receiver-corpus.sh puts the logs by default.
DEFAULT_DIR = os.path.join(HERE, "..", "..", "..", "build", "receivers")

# A sentence cannot hold '$', so a cut line does not swallow the next sentence.
SENTENCE = re.compile(rb"[$!]([A-Za-z0-9]{1,8})([,*][\x20-\x23\x25-\x7e]*?)\*([0-9A-Fa-f]{2})")
ENDING = re.compile(rb"[\r\n]*")
COMMENT = re.compile(rb"(?m)^#[^\r\n]*")
PRINTABLE = set(range(0x20, 0x7F)) | {0x09, 0x0A, 0x0D}


def checksum_ok(body, given):
    value = 0
    for b in body:
        value ^= b
    return value == int(given, 16)


def count_ubx(data):
    """Number of UBX frames with a good Fletcher checksum."""
    count = 0
    i = data.find(b"\xb5\x62")
    while i >= 0:
        if i + 6 <= len(data):
            length = data[i + 4] | data[i + 5] << 8
            end = i + 6 + length + 2
            if end <= len(data):
                a = b = 0
                for byte in data[i + 2 : i + 6 + length]:
                    a = (a + byte) & 0xFF
                    b = (b + a) & 0xFF
                if data[end - 2] == a and data[end - 1] == b:
                    count += 1
                    i = data.find(b"\xb5\x62", end)
                    continue
        i = data.find(b"\xb5\x62", i + 1)
    return count


def crc24q(chunk):
    crc = 0
    for byte in chunk:
        crc ^= byte << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF


def count_rtcm3(data):
    """Number of RTCM 3 frames with a good CRC-24Q."""
    count = 0
    i = data.find(b"\xd3")
    while i >= 0:
        if i + 3 <= len(data) and data[i + 1] & 0xFC == 0:
            length = (data[i + 1] & 0x03) << 8 | data[i + 2]
            end = i + 3 + length + 3
            if end <= len(data) and crc24q(data[i : end - 3]) == int.from_bytes(data[end - 3 : end], "big"):
                count += 1
                i = data.find(b"\xd3", end)
                continue
        i = data.find(b"\xd3", i + 1)
    return count


def ending_name(raw):
    return {b"\r\n": "CRLF", b"\r\r\n": "CRCRLF", b"\n": "LF", b"\r": "CR", b"": "none"}.get(
        raw, repr(raw.decode())
    )


def time_of(field):
    """Seconds of day of an hhmmss[.sss] field, or None."""
    m = re.fullmatch(r"(\d\d)(\d\d)(\d\d(?:\.\d*)?)", field)
    if not m:
        return None
    return int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3))


class Survey:
    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        with open(path, "rb") as f:
            self.data = f.read()
        self.talkers = collections.Counter()
        self.proprietary = collections.Counter()
        self.endings = collections.Counter()
        self.bad_checksums = 0
        self.noise = 0
        self.rmc_empty = 0
        self.decimals = collections.Counter()
        self.gsv_sigids = collections.Counter()
        self.gsv_mixed_groups = 0
        self.gsv_partial_groups = 0
        self.sentences = 0
        self.gsv_groups = 0
        self.gpgsv_prns = set()
        self.gsa_counts = collections.Counter()
        self.gga_quality = collections.Counter()
        self.epochs = []
        self.examples = collections.defaultdict(list)
        self._scan()

    def _example(self, key, line):
        if len(self.examples[key]) < 3:
            self.examples[key].append(line)

    def _scan(self):
        data = self.data
        covered = bytearray(len(data))
        for m in COMMENT.finditer(data):
            covered[m.start() : m.end()] = b"\x01" * (m.end() - m.start())
        group = None  # [talker, total, next part, signal IDs, lines, starts at part 1]
        for m in SENTENCE.finditer(data):
            body = data[m.start() + 1 : m.end() - 3]
            if not checksum_ok(body, m.group(3)):
                self.bad_checksums += 1
                continue
            end = ENDING.match(data, m.end())
            ending = data[end.start() : end.end()]
            # A run of line ends after one sentence: the first LF closes it.
            if b"\n" in ending:
                ending = ending[: ending.index(b"\n") + 1]
            covered[m.start() : m.end() + len(ending)] = b"\x01" * (m.end() + len(ending) - m.start())
            self.sentences += 1
            self.endings[ending_name(ending)] += 1
            line = data[m.start() : m.end() + len(ending)].decode("ascii")
            address = m.group(1).decode()
            fields = body.decode("ascii").split(",")[1:]
            if address.startswith("P"):
                # $PUBX and $PSTI carry their message number in the first field.
                if address in ("PUBX", "PSTI") and fields:
                    address += "," + fields[0]
                self.proprietary[address] += 1
                self._example("proprietary", line)
                continue
            talker, kind = address[:2], address[2:]
            self.talkers[talker] += 1
            if group and not (kind == "GSV" and talker == group[0]):
                group = self._close_group(group)
            if kind == "RMC" and len(fields) >= 8:
                if fields[1] == "A" and (fields[6] == "" or fields[7] == ""):
                    self.rmc_empty += 1
                    self._example("rmc_empty", line)
                self._time(fields[0], line)
            elif kind == "GGA" and len(fields) >= 6:
                if fields[5]:
                    self.gga_quality[fields[5]] += 1
                    if fields[5] in ("4", "5"):
                        self._example("rtk", line)
                self._time(fields[0], line)
            elif kind == "GSA":
                self.gsa_counts[len(fields)] += 1
                if len(fields) not in (17, 18):
                    self._example("gsa_count", line)
            elif kind == "GSV":
                group = self._gsv(talker, fields, line, group)
        if group:
            self._close_group(group)
        blank = (0x0D, 0x0A, 0x20, 0x09)
        self.noise = sum(1 for i, c in enumerate(covered) if not c and data[i] not in blank)
        self.noise_binary = sum(1 for i, c in enumerate(covered) if not c and data[i] not in PRINTABLE)
        self.ubx_frames = count_ubx(data)
        self.rtcm3_frames = count_rtcm3(data)
        # Runs of uncovered bytes, for --examples.
        start = None
        for i in range(len(data) + 1):
            free = i < len(data) and not covered[i]
            if free and start is None:
                start = i
            elif not free and start is not None:
                chunk = data[start:i]
                if chunk.strip(b"\r\n \t"):
                    key = "binary" if any(b not in PRINTABLE for b in chunk) else "junk"
                    self._example(key, repr(chunk[:100])[2:-1] + (f" ...({len(chunk)} B)" if len(chunk) > 100 else ""))
                start = None

    def _time(self, field, line):
        t = time_of(field)
        if t is None:
            return
        frac = field.split(".")[1] if "." in field else None
        self.decimals["hhmmss" if frac is None else "hhmmss." + "s" * len(frac)] += 1
        if frac is not None:
            self._example("fraction", line)
        if not self.epochs or self.epochs[-1] != t:
            self.epochs.append(t)

    def _gsv(self, talker, fields, line, group):
        if len(fields) < 3 or not fields[0].isdigit() or not fields[1].isdigit():
            return group
        total, part = int(fields[0]), int(fields[1])
        sigid = None
        if (len(fields) - 3) % 4 == 1:
            sigid = fields[-1]
            self.gsv_sigids[sigid or "(empty)"] += 1
            self._example("sigid", line)
        if talker == "GP":
            for i in range(3, len(fields) - 3, 4):
                if fields[i].isdigit():
                    prn = int(fields[i])
                    self.gpgsv_prns.add(prn)
                    if prn > 32:
                        self._example("gpgsv_other", line)
        if part == 1 or not group or group[0] != talker or group[2] != part:
            if group:
                self._close_group(group)
            group = [talker, total, part, set(), [], part == 1]
        group[2] = part + 1
        group[3].add(sigid)
        group[4].append(line)
        if part == total:
            group = self._close_group(group)
        return group

    def _close_group(self, group):
        self.gsv_groups += 1
        ids = group[3]
        key = None
        if len(ids - {None}) > 1:
            self.gsv_mixed_groups += 1
            key = "gsv_mixed"
        elif None in ids and len(ids) > 1:
            self.gsv_partial_groups += 1
            key = "gsv_partial"
        # The example is the first whole group (the log may start inside one).
        if key and group[5] and not self.examples[key]:
            self.examples[key].extend(group[4][:6])
        return None

    # Table cells.

    def cell_endings(self):
        if not self.endings:
            return "-"
        kinds = [k for k, _ in self.endings.most_common()]
        if len(kinds) == 1:
            return kinds[0]
        return "mixed " + "/".join(f"{k}:{self.endings[k]}" for k in kinds)

    def cell_talkers(self):
        return " ".join(t for t, _ in self.talkers.most_common()) or "-"

    def cell_fraction(self):
        return " ".join(k for k, _ in self.decimals.most_common()) or "-"

    def cell_sigid(self):
        if not self.gsv_sigids:
            return "no"
        ids = ",".join(sorted(self.gsv_sigids))
        notes = []
        if self.gsv_mixed_groups:
            notes.append(f"{self.gsv_mixed_groups}/{self.gsv_groups} groups mix IDs")
        if self.gsv_partial_groups:
            notes.append(f"{self.gsv_partial_groups}/{self.gsv_groups} groups mix parts with and without ID")
        return ids + "; " + ("; ".join(notes) if notes else "groups single-ID")

    def cell_proprietary(self):
        return " ".join(sorted(self.proprietary)) or "-"

    def cell_binary(self):
        if not self.noise:
            return "no"
        parts = []
        if self.ubx_frames:
            parts.append(f"{self.ubx_frames} UBX")
        if self.rtcm3_frames:
            parts.append(f"{self.rtcm3_frames} RTCM3")
        kind = "binary" if self.noise_binary else "text"
        return f"{self.noise} B {kind}" + (f" ({', '.join(parts)} frames)" if parts else "")

    def cell_gpgsv(self):
        sbas = sorted(p for p in self.gpgsv_prns if 33 <= p <= 64)
        glo = sorted(p for p in self.gpgsv_prns if 65 <= p <= 96)
        other = sorted(p for p in self.gpgsv_prns if p > 96)
        parts = []
        if sbas:
            parts.append("SBAS " + ",".join(map(str, sbas)))
        if glo:
            parts.append("GLO " + ",".join(map(str, glo)))
        if other:
            parts.append(">96 " + ",".join(map(str, other)))
        return "; ".join(parts) or "no"

    def cell_gsa(self):
        if not self.gsa_counts:
            return "-"
        return ",".join(str(k) for k in sorted(self.gsa_counts))

    def cell_quality(self):
        return ",".join(sorted(self.gga_quality)) or "-"

    def cell_rate(self):
        steps = [b - a for a, b in zip(self.epochs, self.epochs[1:]) if 0 < b - a < 60]
        if not steps:
            return "-"
        step = statistics.median(steps)
        hz = 1 / step
        return f"{hz:g}" if hz >= 1 else f"1/{step:g}"

    def row(self, receiver):
        return [
            self.name,
            receiver,
            f"{len(self.data)}",
            f"{self.sentences}/{self.bad_checksums}",
            self.cell_talkers(),
            self.cell_endings(),
            "yes" if self.rmc_empty else "no",
            self.cell_fraction(),
            self.cell_sigid(),
            self.cell_proprietary(),
            self.cell_binary(),
            self.cell_gpgsv(),
            self.cell_gsa(),
            self.cell_quality(),
            self.cell_rate(),
        ]


HEADER = [
    "log",
    "receiver",
    "bytes",
    "sentences/bad checksum",
    "talkers",
    "line ends",
    "RMC A, empty speed/course",
    "time format",
    "GSV signal IDs",
    "proprietary",
    "noise outside sentences",
    "GLONASS/SBAS in GPGSV",
    "GSA fields",
    "GGA quality",
    "rate (Hz)",
]

EXAMPLE_KEYS = [
    ("rmc_empty", "RMC with status A and empty speed or course"),
    ("fraction", "fractional seconds"),
    ("sigid", "NMEA 4.1 signal ID in GSV"),
    ("gsv_mixed", "one GSV group whose parts carry different signal IDs"),
    ("proprietary", "proprietary sentences"),
    ("binary", "binary noise"),
    ("junk", "text that is no valid sentence (bad checksum, cut or broken lines)"),
    ("gsv_partial", "one GSV group with parts with and without a signal ID"),
    ("gpgsv_other", "GLONASS/SBAS numbers inside $GPGSV"),
    ("gsa_count", "GSA with other than 17/18 fields"),
    ("rtk", "GGA quality 4/5 (RTK)"),
]


def receivers_from_table():
    """Maps log name to the receiver column of corpus.tsv beside this script."""
    result = {}
    try:
        with open(os.path.join(HERE, "corpus.tsv"), encoding="utf-8") as f:
            for line in f:
                cells = line.rstrip("\n").split("\t")
                if len(cells) >= 6 and not line.startswith("#"):
                    result[cells[0] + ".nmea"] = cells[5]
    except OSError:
        pass
    return result


def main(argv):
    markdown = "--markdown" in argv
    examples = "--examples" in argv
    targets = [a for a in argv if not a.startswith("--")] or [DEFAULT_DIR]
    paths = []
    for t in targets:
        if os.path.isdir(t):
            paths += sorted(
                os.path.join(t, n) for n in os.listdir(t) if n.endswith(".nmea") or n.endswith(".log")
            )
        else:
            paths.append(t)
    receivers = receivers_from_table()
    rows = []
    total = 0
    surveys = []
    for p in paths:
        s = Survey(p)
        surveys.append(s)
        total += len(s.data)
        rows.append(s.row(receivers.get(s.name, "?")))
    if markdown:
        print("| " + " | ".join(HEADER) + " |")
        print("|" + "---|" * len(HEADER))
        for r in rows:
            print("| " + " | ".join(c.replace("|", "/") for c in r) + " |")
    else:
        for r in rows:
            print("\t".join(r))
    print(f"\n{len(rows)} logs, {total} bytes")
    odd = [s.name for s in surveys if set(s.gsa_counts) - {17, 18}]
    if odd:
        print("GSA FIELD COUNT OTHER THAN 17/18 IN: " + ", ".join(odd))
    if examples:
        for key, title in EXAMPLE_KEYS:
            print(f"\n## {title}")
            for s in surveys:
                if s.examples[key]:
                    print(f"{s.name}:")
                    for line in s.examples[key]:
                        print("    " + line.rstrip("\r\n") + "   [" + repr(line[len(line.rstrip('\r\n')):]) + "]")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
