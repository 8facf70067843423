#!/usr/bin/env bash
# The main job: set up, build, then back up a generated stream onto disk
# stripes that span several volume files each, restore it and compare.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release
# 64 MiB over 4 stripes with 256 KB volumes; the trace log shows each
# volume being opened.
KORDBG=${KORDBG:-64} "$root/build/example_host" "${1:-}" 64 4
