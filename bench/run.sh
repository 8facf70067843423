#!/usr/bin/env bash
# Builds a release tree and runs the throughput benchmark:
#   bench/run.sh [--dir DIR] [--megabytes N] [--stripes N] ...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKORBR_BUILD_TESTS=OFF >/dev/null
"$root/build-release/korbr_throughput" "$@"
