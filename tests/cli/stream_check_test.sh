#!/usr/bin/env bash
# How korbr proves a stream intact, end to end on temporary directories:
#   bash tests/cli/stream_check_test.sh PATH/TO/korbr
#
# A table of damage done to the volume files of a plain, a compressed and
# an encrypted backup (2 stripes, 8K requests, one volume file per stripe):
# each must be refused by a restore, which names the stripe, the frame and
# the volume file, and hands nothing of the damaged frame on; and the
# content seal that backup, verify, labels and 'korbr digest' show must
# be the same for one input whatever its stripes or compression.  The
# last line says "N passed, M failed"; the exit status is 0 only when none
# failed.
set -euo pipefail

KORBR=${1:?usage: stream_check_test.sh PATH/TO/korbr}
KORBR=$(cd "$(dirname "$KORBR")" && pwd)/$(basename "$KORBR")
work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-stream-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset KORDBG KORIOPROF
passed=0
failed=0

# check NAME CONDITION...: one assertion; a failed one is counted and shown.
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    [ -s "$work/err" ] && sed 's/^/    | /' "$work/err" | head -5
  fi
  return 0
}

dev() { echo "devname=$1/$2{stripe};dbtype=ZDBn"; }
readonly REQUEST=8192 FRAME_START=$((228 + 4096))
# Byte OFFSET of stripe-local frame J in a stripe's first volume file.
at() { echo $((FRAME_START + $1 * REQUEST + $2)); }

flip() {  # FILE OFFSET: inverts the lowest bit of one byte
  local old
  old=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf '%03o' $((old ^ 1)))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
swap() {  # FILE_A J_A FILE_B J_B: exchanges two whole frames
  dd if="$1" of="$work/a" bs=$REQUEST skip=0 count=1 status=none \
    iflag=skip_bytes skip="$(at "$2" 0)"
  dd if="$3" of="$work/b" bs=$REQUEST count=1 status=none \
    iflag=skip_bytes skip="$(at "$4" 0)"
  dd if="$work/b" of="$1" bs=$REQUEST conv=notrunc status=none \
    oflag=seek_bytes seek="$(at "$2" 0)"
  dd if="$work/a" of="$3" bs=$REQUEST conv=notrunc status=none \
    oflag=seek_bytes seek="$(at "$4" 0)"
}
drop() {  # FILE J: cuts frame J out of the volume file
  local size
  size=$(stat -c %s "$1")
  { head -c "$(at "$2" 0)" "$1"; tail -c $((size - $(at "$2" REQUEST))) "$1"; } \
    >"$work/cut"
  cat "$work/cut" >"$1"
}

# 200 KB of random input: about 25 frames whatever zstd makes of it.
head -c 200000 /dev/urandom >"$work/in"
capacity=$((REQUEST - 128))

# The encrypted variant (to a key the openssl tool makes) meets the same
# damage, found by the same digests before any key is needed.
(umask 077 && openssl genpkey -algorithm X25519 -out "$work/key.pem")
openssl pkey -in "$work/key.pem" -pubout -out "$work/pub.pem"
for variant in plain zstd encrypted; do
  opts=()
  key=()
  [ "$variant" = zstd ] && opts=(--compress zstd)
  [ "$variant" = encrypted ] && opts=(--encrypt-to "$work/pub.pem") &&
    key=(--key "$work/key.pem")
  b=$work/$variant
  mkdir "$b"
  "$KORBR" backup -q --stripes 2 --request-size 8K "${opts[@]}" \
    --device "$(dev "$b" s)" "$work/in"
  frames=$("$KORBR" labels "$b/s0.1" | sed -n 's/.* in \([0-9]*\) frames.*/\1/p')
  cp -r "$b" "$b.whole"
  last=$((frames - 1))
  # damage | what is done | the frame refused | the message
  table=(
    "payload|flip $b/s1.1 $(at 1 300)|3|stripe 1: frame 3 is damaged"
    "frame header|flip $b/s1.1 $(at 1 33)|3|stripe 1: frame 3 is damaged"
    "swapped in a stripe|swap $b/s1.1 1 $b/s1.1 2|3|stripe 1: frame 5 where frame 3 was expected"
    "swapped between stripes|swap $b/s0.1 1 $b/s1.1 1|2|stripe 0: frame 3 where frame 2 was expected"
    "last frame dropped|drop $b/s$((last % 2)).1 $((last / 2))|$last|stripe $((last % 2)) ends after $((last / 2)) data frames.*frame $last is missing"
    "volume truncated|truncate -s $(at 1 4000) $b/s1.1|3|stripe 1: .* at frame 3 "
  )
  for row in "${table[@]}"; do
    IFS='|' read -r name action frame message <<<"$row"
    name="$variant, $name"
    # Each row damages a fresh copy of the backup.
    rm -rf "$b"
    cp -r "$b.whole" "$b"
    $action
    set +e
    "$KORBR" restore -q "${key[@]}" --device "$(dev "$b" s)" - \
      >"$work/out" 2>"$work/err"
    rc=$?
    set -e
    volume=$b/s$(sed 's/^stripe \([0-9]*\).*/\1/' <<<"$message").1
    check "$name: refused (exit $rc)" [ "$rc" -eq 1 ]
    check "$name: stripe, frame and volume file named" \
      grep -q -- "$message.*volume file $volume" "$work/err"
    # What came out is the input's beginning; unless compressed, it ends
    # before the damaged frame's payload.
    out=$(stat -c %s "$work/out")
    check "$name: only what came before is out" \
      cmp -s -n "$out" "$work/out" "$work/in"
    if [ "$variant" != zstd ]; then
      check "$name: nothing of frame $frame out ($out bytes)" \
        [ "$out" -le $((frame * capacity)) ]
    else
      check "$name: less than the input out" [ "$out" -lt 200000 ]
    fi
  done
  rm -rf "$b"
  mv "$b.whole" "$b"
done

# One content seal for the input, whatever the stripes or compression.
seal=$("$KORBR" digest --request-size 8K "$work/in" | cut -d' ' -f1)
: >"$work/err"
check "digest gives a seal" grep -qE '^[0-9a-f]{64}$' <<<"$seal"
check "digest of standard input" \
  [ "$("$KORBR" digest -r 8K - <"$work/in" | cut -d' ' -f1)" = "$seal" ]
check "a request size of its own, another seal" \
  [ "$("$KORBR" digest "$work/in" | cut -d' ' -f1)" != "$seal" ]
for variant in plain zstd; do
  opts=()
  [ "$variant" = zstd ] && opts=(--compress zstd)
  check "$variant: backup onto 3 stripes shows it" \
    grep -q "content seal $seal" <<<"$("$KORBR" backup --stripes 3 \
      --request-size 8K "${opts[@]}" \
      --device "$(dev "$work" "$variant-three")" "$work/in" 2>&1)"
  check "$variant: verify shows it" \
    grep -q "content seal $seal" <<<"$("$KORBR" verify \
      --device "$(dev "$work/$variant" s)" 2>&1)"
  check "$variant: labels show it" \
    grep -q "content seal $seal" <<<"$("$KORBR" labels "$work/$variant/s1.1")"
done

# An input that fills the last of the restore's buffers exactly (a whole
# number of chunks) ends exactly where zstd's stream does.
head -c $((16 * capacity)) "$work/in" >"$work/chunks"
"$KORBR" backup -q --request-size 8K --compress zstd \
  --device "$(dev "$work" chunks)" "$work/chunks"
set +e
"$KORBR" restore -q --device "$(dev "$work" chunks)" - >"$work/out" 2>"$work/err"
rc=$?
set -e
check "zstd, a whole number of chunks: restored (exit $rc)" \
  cmp -s "$work/out" "$work/chunks"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
