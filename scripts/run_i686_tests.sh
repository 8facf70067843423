#!/usr/bin/env bash
# Builds libkorbr, korbr and the tests for 32-bit Linux (i686, -m32:
# cmake/linux-i686.cmake) and runs them under qemu-i386 user emulation,
# which needs no kernel support for 32-bit code:
#
#   1. the tests of the native build, under ctest (the emulator is the
#      toolchain's CMAKE_CROSSCOMPILING_EMULATOR);
#   2. a stream larger than 4 GiB backed up by the 32-bit korbr onto one
#      disk volume, the volume's labels read, and the stream restored and
#      compared byte for byte.  The stream comes from seq (every line
#      different, so a misplaced block shows) and is never stored: only the
#      volume takes disk space, about 4.1 GiB, removed at the end.
#
#   scripts/run_i686_tests.sh
#
# Installs what it needs (scripts/setup.sh, scripts/setup_i686.sh) and fails
# when it cannot.  KORBR_BUILD_JOBS limits the parallel compile jobs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=(${KORBR_BUILD_JOBS:+-j"$KORBR_BUILD_JOBS"})
build=$root/build-i686

echo "== i686: install the multilib compilers and qemu-user"
bash "$root/scripts/setup.sh"
bash "$root/scripts/setup_i686.sh"

echo "== i686: build $build"
cmake -S "$root" -B "$build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-i686.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" "${jobs[@]}"

echo "== i686: tests under qemu-i386"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

echo "== i686: a stream beyond 4 GiB on one disk volume, through korbr"
korbr=$build/korbr-emulated  # korbr under qemu-i386
work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-i686-big.XXXXXX")
trap 'rm -rf "$work"' EXIT
# seq 1 450000000 writes 4388888898 bytes: past 2^31 and 2^32.
lines=450000000
stream_bytes=4388888898
stream() { seq 1 "$lines"; }
# Volumes of 6 GiB (capacity in KB): the whole stream fits on the first.
device="devname=$work/big;dbtype=ZDBn;capacity=6291456"
fail() {
  echo "i686 large volume: $*" >&2
  exit 1
}

# The stream's content seal, taken on the way by the native korbr (a
# 64-bit build, default request size as the backup's), against the 32-bit
# korbr's trailer.
native=${KORBR_NATIVE:-$root/build/korbr}
[ -x "$native" ] || native=$korbr
mkfifo "$work/copy"
"$native" digest - <"$work/copy" >"$work/stream.seal" &
hashing=$!
stream | tee "$work/copy" | "$korbr" backup --quiet --device "$device" - ||
  fail "backup failed"
wait "$hashing" || fail "the digest of the stream failed"
[ -f "$work/big.1" ] && [ ! -e "$work/big.2" ] ||
  fail "expected one volume file, found: $(ls "$work")"
volume_bytes=$(stat -c %s "$work/big.1")
[ "$volume_bytes" -gt 4294967296 ] ||
  fail "the volume has $volume_bytes bytes, not more than 4 GiB"

"$korbr" labels "$work/big.1" >"$work/labels" || fail "labels failed"
want_seal=$(cut -d' ' -f1 "$work/stream.seal")
grep -q "stream of $stream_bytes bytes" "$work/labels" &&
  grep -q "content seal $want_seal" "$work/labels" || {
  cat "$work/labels"
  fail "the trailer does not give the stream's length $stream_bytes" \
       "and content seal $want_seal"
}

# cmp reads both streams as they come: nothing is stored.
"$korbr" restore --quiet --device "$device" - | cmp - <(stream) ||
  fail "the restore differs from the stream or failed"
echo "i686 large volume: $stream_bytes bytes on one volume of" \
     "$volume_bytes bytes, restored byte for byte"
