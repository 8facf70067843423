#!/usr/bin/env bash
# Set up, build and run every test: once as a normal build, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the 32-bit Linux
# build under qemu-i386, the Windows build, the ThreadSanitizer build, and
# every fuzz target for a minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=$(nproc)

echo "== build and test"
bash "$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
bash "$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKORBR_SANITIZE=ON
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$jobs")

# The same tests on a 32-bit (i686) build, run under qemu-i386 user
# emulation, and a stream past 4 GiB through its korbr onto one volume.
bash "$root/scripts/run_i686_tests.sh"

# korbr.dll cross-built with mingw-w64, its tests run under wine.
bash "$root/scripts/run_windows_tests.sh"

# Stripes in parallel under ThreadSanitizer: the unit and integration tests
# (the latter drive 32 stripes in 32 threads at once); any race fails.
echo "== build and test under ThreadSanitizer"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DKORBR_TSAN=ON >/dev/null
ninja -C "$root/build-tsan" korbr_unit_tests korbr_integration_tests
(cd "$root/build-tsan" && export TSAN_OPTIONS=halt_on_error=1 &&
  for t in korbr_unit_tests korbr_integration_tests; do
    "./$t" --gtest_brief=1 >"$t.log" 2>&1 || { tail -n 80 "$t.log"; exit 1; }
    echo "$t: $(tail -n 1 "$t.log")"
  done)

# Every fuzz target for a minute from its seed corpus.
bash "$root/scripts/run_fuzz.sh" 60
