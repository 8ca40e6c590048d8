#!/usr/bin/env bash
# Puts the recorded receiver logs of tests/data/receivers/corpus.tsv into DEST:
# DEST/<name>.nmea (the log, trimmed where the table says) and, where gpsd has
# one, DEST/<name>.gpsd.json (gpsd's own decoding of it). They come from
# Debian's copy of the gpsd source release, whose test logs they are; every
# file is checked against the table's sha256. Nothing is downloaded when DEST
# already holds them all.
#   scripts/receiver-corpus.sh DEST
# Exits non-zero, saying which file, on a failed download or any mismatch.
set -euo pipefail

readonly TARBALL=gpsd_3.27.5.orig.tar.xz
readonly TARBALL_SHA256=dc4a62bad835282bae788772bc7cc8f8bec4c7a48e8dceeb37477a89091c4656
readonly URLS=(
    "http://deb.debian.org/debian/pool/main/g/gpsd/$TARBALL"
    "http://snapshot.debian.org/archive/debian/20250520T000000Z/pool/main/g/gpsd/$TARBALL"
)

die() {
    echo "receiver-corpus: $*" >&2
    exit 1
}

[ $# -eq 1 ] && [ -n "$1" ] || { echo "Usage: $0 DEST" >&2; exit 2; }
dest=$1
table="$(cd "$(dirname "$0")/.." && pwd)/tests/data/receivers/corpus.tsv"
[ -r "$table" ] || die "cannot read $table"

sha() { sha256sum "$1" | cut -d' ' -f1; }

# name member bytes sha256 reference_sha256, one log a line.
rows() { grep -v '^#' "$table" | cut -f1-5; }

# Whether DEST already holds every file with its sha256.
complete() {
    [ -d "$dest" ] || return 1
    rows | awk -F'\t' '{ print $4 "  " $1 ".nmea"; if ($5 != "-") print $5 "  " $1 ".gpsd.json" }' |
        (cd "$dest" && sha256sum --quiet --strict -c - >/dev/null 2>&1)
}

if complete; then
    exit 0
fi

mkdir -p "$dest" || die "cannot make $dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

got=
for url in "${URLS[@]}"; do
    echo "receiver-corpus: downloading $url" >&2
    if ! curl -fsSL --retry 2 --connect-timeout 20 -o "$work/$TARBALL" "$url"; then
        echo "receiver-corpus: download failed: $url" >&2
        continue
    fi
    actual=$(sha "$work/$TARBALL")
    if [ "$actual" = "$TARBALL_SHA256" ]; then
        got=1
        break
    fi
    echo "receiver-corpus: $url: sha256 $actual, expected $TARBALL_SHA256" >&2
done
[ -n "$got" ] || die "no good copy of $TARBALL could be downloaded"

# Only the listed logs and gpsd's references to them are taken out.
members=()
while IFS=$'\t' read -r name member bytes sum ref; do
    members+=("$member")
    [ "$ref" = - ] || members+=("$member.chk")
done < <(rows)
tar -xJf "$work/$TARBALL" -C "$work" "${members[@]}" || die "cannot extract the logs from $TARBALL"

# Checks a file against its sha256 and moves it into DEST.
place() {
    local file=$1 sum=$2 target=$3 actual
    actual=$(sha "$file")
    [ "$actual" = "$sum" ] || die "$target: sha256 $actual, expected $sum"
    mv -f "$file" "$dest/$target"
}

while IFS=$'\t' read -r name member bytes sum ref; do
    if [ "$bytes" = all ]; then
        cp "$work/$member" "$work/log"
    else
        head -c "$bytes" "$work/$member" >"$work/log"
    fi
    place "$work/log" "$sum" "$name.nmea"
    [ "$ref" = - ] || place "$work/$member.chk" "$ref" "$name.gpsd.json"
done < <(rows)
echo "receiver-corpus: $(rows | wc -l) logs in $dest" >&2
