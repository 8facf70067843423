#!/usr/bin/env bash
# Set up, build and run every test: once as a normal build (then korbr
# between PostgreSQL's and GNU tar's programs, then installed and packaged
# as a system installs it), once under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the 32-bit Linux build under qemu-i386,
# the Windows build, the ThreadSanitizer build, and every fuzz target for a
# minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=$(nproc)

echo "== build and test"
bash "$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

echo "== korbr between real clients (PostgreSQL, GNU tar)"
bash "$root/tests/clients/run_clients.sh" "$root/build/korbr"

# Installed as a system installs it: cmake --install of build/ into a
# temporary DESTDIR, hosts built with pkg-config and find_package(korbr),
# the Debian packages (build-package/, lintian) installed and removed.
echo "== install and packages"
bash "$root/tests/install/install_test.sh" "$root/build"

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
# (the latter drive 32 stripes in 32 threads at once), and korbr's own
# pipeline of stripe, hashing, compression and output threads end to end;
# any race fails.
echo "== build and test under ThreadSanitizer"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DKORBR_TSAN=ON >/dev/null
ninja -C "$root/build-tsan" korbr_unit_tests korbr_integration_tests \
  korbr_cli korbr_cli_tests
(cd "$root/build-tsan" && export TSAN_OPTIONS=halt_on_error=1 &&
  for t in korbr_unit_tests korbr_integration_tests korbr_cli_tests; do
    "./$t" --gtest_brief=1 >"$t.log" 2>&1 || { tail -n 80 "$t.log"; exit 1; }
    echo "$t: $(tail -n 1 "$t.log")"
  done)
# korbr end to end under ThreadSanitizer: its stripe threads, queues and
# console lock, with the library beneath them.  A race report ends korbr
# with status 66, which no case accepts.
(export TSAN_OPTIONS=halt_on_error=1 &&
  bash "$root/tests/cli/cli_test.sh" "$root/build-tsan/korbr" \
    >"$root/build-tsan/cli_test.log" 2>&1 ||
  { tail -n 80 "$root/build-tsan/cli_test.log"; exit 1; }
  echo "cli_test.sh (ThreadSanitizer): $(tail -n 1 "$root/build-tsan/cli_test.log")")
# The threads that upload and read ahead object-storage volumes, against
# the local S3 store the tests start.
ninja -C "$root/build-tsan" korbr_objstore_tests korbr_cli
(cd "$root/build-tsan" && TSAN_OPTIONS=halt_on_error=1 \
  ctest --output-on-failure -R '^(objstore_|ObjectStoreTest)')

# Every fuzz target for a minute from its seed corpus.
bash "$root/scripts/run_fuzz.sh" 60
