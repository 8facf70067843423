#!/usr/bin/env bash
# Sets the machine up and builds the tree every benchmark runs from:
# build-release/ (Release, tests left out), quietly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DKORBR_BUILD_TESTS=OFF >/dev/null
