#!/usr/bin/env bash
# gpscat on the recorded receiver logs, against tests/data/receivers/expected.tsv.
#   receivers.sh GPSCAT CORPUS OUT          the test
#   receivers.sh GPSCAT CORPUS OUT --write  prints expected.tsv anew from this
#                                           gpscat (the default-output digests,
#                                           of an older gpscat, are kept)
# CORPUS is where scripts/receiver-corpus.sh put the logs. Per log and dialect
# (gp, gnss; with --summary --satellites) the output's sha256 and its counts
# must be those of the table; the same log with CR CR LF line ends must give
# the same output (no line's events twice); no output holds a nan; a log with
# the last part of a GSV group on a whole line gives OnSatellites; and where
# the table has a digest of the default output (no options), it must match.
# Mismatching outputs are kept in OUT. Afterwards the comparison with gpsd's
# own decoding is printed as a report (compare_gpsd.py); it fails nothing.
set -uo pipefail

[ $# -ge 3 ] || { echo "Usage: $0 GPSCAT CORPUS OUT [--write]" >&2; exit 2; }
gpscat=$1 corpus=$2 out=$3 write=${4:-}
data="$(cd "$(dirname "$0")/../data/receivers" && pwd)"
table=$data/expected.tsv

if [ ! -f "$corpus/garmin-gps38.nmea" ]; then
    echo "receivers: no receiver logs in $corpus; run scripts/receiver-corpus.sh $corpus" >&2
    exit 1
fi
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sha() { sha256sum | cut -d' ' -f1; }

# OnValidFix OnError OnSentence OnFixLoss OnSatellites, the longest satellite
# list and the number of nan values in gpscat's output.
counts() {
    awk '
        /^\{"event":"OnValidFix"/ { fix++ }
        /^\{"event":"OnError"/ { err++ }
        /^\{"event":"OnSentence"/ { sen++ }
        /^\{"event":"OnFixLoss"/ { loss++ }
        /^\{"event":"OnSatellites"/ { sats++; n = gsub(/"PRN":/, "&"); if (n > most) most = n }
        { line = tolower($0); nan += gsub(/[:,[]-?nan/, "", line) }
        END { printf "%d\t%d\t%d\t%d\t%d\t%d\t%d\n", fix, err, sen, loss, sats, most, nan }' "$1"
}

readonly names=(OnValidFix OnError OnSentence OnFixLoss OnSatellites most-in-view nan)

# Says which counts differ between two count lines.
changed() {
    local -a was now
    IFS=$'\t' read -ra was <<<"$1"
    IFS=$'\t' read -ra now <<<"$2"
    local i text=
    for i in "${!names[@]}"; do
        [ "${was[$i]}" = "${now[$i]}" ] || text+=" ${names[$i]} ${was[$i]} -> ${now[$i]};"
    done
    echo "${text:- the same counts, other output}"
}

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

checked=0
rows=()
while IFS=$'\t' read -r name rest; do
    [ -n "$name" ] && [ "${name:0:1}" != "#" ] || continue
    IFS=$'\t' read -ra want <<<"$rest"
    log=$corpus/$name.nmea
    [ -f "$log" ] || { fail "$name: $log is missing"; continue; }
    sed -z 's/\r\n/\r\r\n/g' "$log" >"$work/crcrlf.nmea"
    row=$name
    for d in 0 1; do
        dialect=$([ $d = 0 ] && echo gp || echo gnss)
        "$gpscat" --dialect "$dialect" --summary --satellites "$log" >"$work/out" ||
            fail "$name $dialect: gpscat failed"
        digest=$(sha <"$work/out")
        got=$(counts "$work/out")
        row+=$'\t'"$digest"$'\t'"$got"
        [ -n "$write" ] && continue
        checked=$((checked + 1))
        expected_digest=${want[$((d * 8))]}
        expected_counts=$(IFS=$'\t'; echo "${want[*]:$((d * 8 + 1)):7}")
        if [ "$digest" != "$expected_digest" ]; then
            cp "$work/out" "$out/$name.$dialect.out"
            fail "$name $dialect: output differs (kept in $out/$name.$dialect.out):$(changed "$expected_counts" "$got")"
        fi
        [ "$(cut -f7 <<<"$got")" = 0 ] || fail "$name $dialect: nan in the output"
        "$gpscat" --dialect "$dialect" --summary --satellites "$work/crcrlf.nmea" >"$work/out2"
        cmp -s "$work/out" "$work/out2" ||
            fail "$name $dialect: CR CR LF line ends change the output:$(changed "$got" "$(counts "$work/out2")")"
        talkers=$([ $d = 0 ] && echo GP || echo '[A-Z][A-Z]')
        if grep -qaE $'^\\$'"$talkers"$'GSV,([1-9]),\\1,.*\r$' "$log" && [ "$(cut -f5 <<<"$got")" = 0 ]; then
            fail "$name $dialect: whole GSV groups but no OnSatellites"
        fi
    done
    pin=${want[16]:--}
    row+=$'\t'"$pin"
    if [ "$pin" != - ] && [ -z "$write" ]; then
        checked=$((checked + 1))
        "$gpscat" "$log" >"$work/out"
        if [ "$(sha <"$work/out")" != "$pin" ]; then
            cp "$work/out" "$out/$name.default.out"
            fail "$name: the default output (no options) differs from the older gpscat's (kept in $out/$name.default.out)"
        fi
    fi
    rows+=("$row")
done <"$table"

if [ -n "$write" ]; then
    head -n 1 "$table"
    printf '%s\n' "${rows[@]}"
    exit 0
fi

echo
echo "=== gpscat and gpsd on the same logs (a report, not a check) ==="
python3 "$data/compare_gpsd.py" "$gpscat" "$corpus" || echo "(the comparison did not run)"

echo
echo "${#rows[@]} logs, $checked outputs checked, $failures failures"
[ "$failures" -eq 0 ]
