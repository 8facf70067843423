#!/usr/bin/env bash
# Builds korbr.dll for 32-bit Windows hosts with mingw-w64, installing the
# cross compiler when it is missing (run as root on Debian):
#
#   scripts/build_windows.sh [DIRECTORY]     (default: build-win32-release)
#
# The DLL exports the nine kor_* functions by name and ordinal and needs no
# DLL beyond Windows' own; its export table and imports are checked.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-win32-release}
bash "$root/scripts/setup.sh" g++-mingw-w64-i686
cmake -S "$root" -B "$dir" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DKORBR_BUILD_TESTS=OFF >/dev/null
ninja -C "$dir" korbr
cmake -DLIBRARY="$dir/korbr.dll" -DOBJDUMP=i686-w64-mingw32-objdump \
      -P "$root/tests/windows/check_dll.cmake"
echo "korbr.dll: $dir/korbr.dll"
