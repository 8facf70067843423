#!/usr/bin/env bash
# Builds korbr.dll and its tests with mingw-w64 and runs the tests under
# wine: the unit tests (with the Win32 OS layer's own), the ABI layout
# check, ordinal_host (a C host that loads korbr.dll by ordinal and backs up
# and restores on disk stripes) and example_host; the DLL's exports and
# imports are read with objdump.
#
#   scripts/run_windows_tests.sh
#
#   build-win32/  32-bit Windows (cmake/mingw-i686.cmake): korbr.dll as a
#                 Windows host loads it.  Its tests run when this machine
#                 can run 32-bit x86 code; its export check always runs.
#   build-win64/  64-bit Windows (cmake/mingw-x86_64.cmake): the same core
#                 and tests, run under wine64.
#
# Installs what it needs (scripts/setup_windows.sh).  The 64-bit tests must
# run: when mingw-w64, 64-bit wine or a working wine prefix cannot be had,
# the script fails, as it does on a failing build or test.  Only the 32-bit
# tests may be skipped, with the reason printed ("SKIPPED: ..."): on a
# kernel without 32-bit x86 emulation, or when 32-bit wine cannot be
# installed; their DLL's exports and imports are checked all the same.
# KORBR_BUILD_JOBS limits the parallel compile jobs (default: ninja's own
# choice).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=(${KORBR_BUILD_JOBS:+-j"$KORBR_BUILD_JOBS"})

fail() {
  echo "FAILED: $*"
  exit 1
}

# True when the kernel runs 32-bit x86 programs: 32-bit wine needs it.
# Some kernels are built or booted without it (ia32 emulation off).
runs_32bit_code() {
  local dir status=1
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' \
    >"$dir/probe.S"
  if gcc -m32 -nostdlib -static "$dir/probe.S" -o "$dir/probe" \
       >/dev/null 2>&1; then
    "$dir/probe" >/dev/null 2>&1 && status=0
  fi
  rm -rf "$dir"
  return "$status"
}

echo "== Windows: install mingw-w64 and wine"
bash "$root/scripts/setup.sh"
if runs_32bit_code; then
  wine32=1
  setup_args=(--wine32)
  no_wine32=""
else
  wine32=0
  setup_args=()
  no_wine32="this machine's kernel runs no 32-bit x86 code, so 32-bit wine cannot start"
fi
setup_status=0
setup_output=$(bash "$root/scripts/setup_windows.sh" "${setup_args[@]}" 2>&1) ||
  setup_status=$?
echo "$setup_output"
case $setup_status in
  0) ;;
  3) wine32=0
     no_wine32="32-bit wine could not be installed ($(echo "$setup_output" | tail -n 1))" ;;
  *) fail "Windows tests: mingw-w64 or 64-bit wine could not be installed" \
          "($(echo "$setup_output" | tail -n 1))" ;;
esac

# A fresh wine prefix for this run, 64-bit (it runs 32-bit programs too when
# 32-bit wine is there), removed at the end with the wine server.
export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/korbr-wine.XXXXXX")
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wineserver64 -k \
    >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
echo "== Windows: wine prefix $WINEPREFIX"
if ! boot_output=$(WINELOADER=/usr/lib/wine/wine64 timeout 300 \
                   /usr/lib/wine/wine64 wineboot --init </dev/null 2>&1); then
  echo "$boot_output" | tail -n 20
  fail "Windows tests: wine does not start on this machine (wineboot failed)"
fi

build() {
  local dir=$1 toolchain=$2
  echo "== Windows: build $dir ($toolchain)"
  cmake -S "$root" -B "$root/$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$root/$dir" "${jobs[@]}"
}
build build-win32 mingw-i686.cmake
build build-win64 mingw-x86_64.cmake

if [ "$wine32" = 1 ]; then
  echo "== Windows: 32-bit tests under wine"
  (cd "$root/build-win32" && ctest --output-on-failure --no-tests=error)
else
  echo "== Windows: 32-bit korbr.dll: exports and imports"
  (cd "$root/build-win32" &&
    ctest --output-on-failure --no-tests=error -R '^korbr_dll_exports$')
  echo "SKIPPED: 32-bit Windows tests under wine: $no_wine32; the same" \
       "tests run on the 64-bit build below"
fi

echo "== Windows: 64-bit tests under wine64"
(cd "$root/build-win64" && ctest --output-on-failure --no-tests=error)
