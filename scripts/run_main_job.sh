#!/usr/bin/env bash
# The main job: set up, build, then back up a sample stream with korbr onto
# four disk stripes whose volumes hold 4 MiB each (so every stripe spans
# several volume files), show the labels of one volume, restore the stream
# to a file and to standard output, and compare both with the original.
#
#   scripts/run_main_job.sh [DIRECTORY]
#
# Without DIRECTORY the work happens in a fresh temporary directory that is
# removed afterwards.  KORDBG (default 64: volume life cycle) selects the
# library's trace lines.  Exit status 0 only when both restores are
# byte-identical to the sample.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release
korbr="$root/build/korbr"

if [ -n "${1:-}" ]; then
  mkdir -p "$1"
  dir=$(cd "$1" && pwd)
else
  dir=$(mktemp -d "${TMPDIR:-/tmp}/korbr-main-job.XXXXXX")
  trap 'rm -rf "$dir"' EXIT
fi
export KORDBG=${KORDBG:-64}
device="devname=$dir/sample.s{stripe};dbtype=ZDBn;capacity=4096"
sample="$dir/sample.dump"
restored="$dir/restored.dump"
rm -f "$dir"/sample.s*.* "$restored"

# 64 MiB of text shaped like a database dump: compressible but not
# trivial, from a small deterministic generator (the same bytes every run).
awk -v target=$((64 * 1024 * 1024)) 'BEGIN {
  x = 12345; bytes = 0; id = 0
  while (bytes < target) {
    x = (x * 69069 + 1) % 4294967296
    line = sprintf("INSERT INTO sales VALUES (%d, \047customer-%06d\047, %d.%02d, \0472024-%02d-%02d\047);\n",
                   ++id, x % 1000000, (x / 7) % 100000, x % 100, 1 + x % 12, 1 + (x / 13) % 28)
    if (bytes + length(line) > target) line = substr(line, 1, target - bytes)
    printf "%s", line
    bytes += length(line)
  }
}' >"$sample"
echo "== sample stream: $sample ($(stat -c %s "$sample") bytes)"

echo "== korbr backup onto 4 stripes, 4 MiB volumes (trace: KORDBG=$KORDBG)"
"$korbr" backup --device "$device" --stripes 4 --dbname sample "$sample"

echo "== korbr labels $dir/sample.s0.1"
"$korbr" labels "$dir/sample.s0.1"

echo "== korbr restore to $restored"
"$korbr" restore --device "$device" "$restored"
cmp "$sample" "$restored"
echo "restored file is identical to the sample"

echo "== korbr restore to standard output, into cmp (trace in $dir/trace.log)"
"$korbr" restore --quiet --trace-file "$dir/trace.log" --device "$device" - |
  cmp - "$sample"
echo "restored stream is identical to the sample"

echo "== volume files"
ls -lv "$dir"/sample.s*.*
echo "main job: backed up and restored $(stat -c %s "$sample") bytes on 4 stripes" \
  "in $(ls "$dir"/sample.s*.* | wc -l) volume files: identical"
