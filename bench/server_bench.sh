#!/usr/bin/env bash
# The web service's figures: import rate (tracks per minute, 2 jobs) and cache build rate
# (records per second) for 1,000 generated tracks. Tracks are written and imported in batches
# of 100 so that the disk never holds more than about 130 MB of them.
# Usage: bench/server_bench.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/server_bench.sh BUILD_DIR}
server=$build/server/melodyseeker-server
gen=$build/bench/server_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$work/data
total=1000
batch=100
import_s=0
for ((first = 0; first < total; first += batch)); do
  rm -rf "$work/tracks"
  mkdir -p "$work/tracks"
  "$gen" "$work/tracks" "$first" "$batch" 30
  start=$(date +%s.%N)
  "$server" import --data "$data" --jobs 2 "$work/tracks" >"$work/import.log" 2>&1 ||
    { cat "$work/import.log"; exit 1; }
  end=$(date +%s.%N)
  import_s=$(awk -v a="$import_s" -v s="$start" -v e="$end" 'BEGIN { print a + e - s }')
done
fingerprints=$("$server" stats --data "$data" --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["fingerprints"])')
awk -v n="$total" -v s="$import_s" -v f="$fingerprints" 'BEGIN {
  printf "  import: %d tracks (30 s WAV, 22.05 kHz mono, INFO tags) in %.1f s = %.0f tracks/min on 2 jobs\n", n, s, n * 60 / s
  printf "          (%.0f minutes of audio per second of import); %d distinct fingerprints stored\n", n * 0.5 / s, f }'

# Cache build: five forced builds of every record (no file is full, so nothing is reused).
best=""
for _ in 1 2 3 4 5; do
  rate=$("$server" build-cache --force --data "$data" | sed -n 's/.* \([0-9]*\) records\/s\./\1/p')
  if [ -z "$best" ] || [ "$rate" -gt "$best" ]; then best=$rate; fi
done
echo "  cache build: $fingerprints records, best of 5 forced builds: $best records/s (fsyncs of files,"
echo "               manifest and directory included, so small caches show mostly that fixed cost)"
