#!/usr/bin/env bash
# Builds PalmoGPS and runs its main job on the embedded default: the headless
# receiver decoding the sample receiver log, one JSON line per event.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target gpscat
exec build/default/tools/gpscat/gpscat --summary samples/receiver.nmea
