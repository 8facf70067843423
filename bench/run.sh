#!/usr/bin/env bash
# Builds a release tree and runs the library benchmark (throughput_bench.cc)
# for every combination of stripe count, stream size and durability:
#
#   bench/run.sh [--stripes "1 4"] [--megabytes "256 1024"] [--pairs 5]
#                [--durability "cache durable"] [--dir DIR] [--quick]
#                [-- EXTRA korbr_throughput OPTIONS]
#
# cache: KOR_NO_FLUSH and KOR_CACHE=keep are set, so the library skips its
# flushes and keeps its volumes in the page cache, and the raw
# side does not flush either (the cost of the two paths through the page
# cache); durable: KOR_NO_FLUSH is unset and the raw side fdatasyncs as the
# library does.  --quick: 4 stripes, 64 MiB, both durabilities, 5 pairs.
# Each figure is a ratio against plain write()/read() in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

stripes="1 4"
megabytes="256 1024"
pairs=5
durability="cache durable"
dir=${TMPDIR:-/tmp}
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --stripes) stripes=$2; shift 2 ;;
    --megabytes) megabytes=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --durability) durability=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --quick) stripes=4; megabytes=64; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

bash "$root/bench/build_release.sh"
bench="$root/build-release/korbr_throughput"

# The library notes every handle it opens on standard output, whatever
# KORDBG says: those lines are left out.
quiet() { grep -v '^Stripe [0-9]* \(\*\*\*\|archdev str \)' || true; }

for d in $durability; do
  for s in $stripes; do
    for m in $megabytes; do
      echo
      case $d in
        cache) KOR_NO_FLUSH=1 KOR_CACHE=keep "$bench" --dir "$dir" --stripes "$s" \
                 --megabytes "$m" --pairs "$pairs" "${extra[@]}" | quiet ;;
        durable) env -u KOR_NO_FLUSH "$bench" --dir "$dir" --stripes "$s" \
                   --megabytes "$m" --pairs "$pairs" "${extra[@]}" | quiet ;;
        *) echo "run.sh: durability is cache or durable, not $d" >&2; exit 2 ;;
      esac
    done
  done
done
