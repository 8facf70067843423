#!/usr/bin/env bash
# Encrypted backups end to end, on temporary directories:
#   bash tests/cli/crypto_test.sh PATH/TO/korbr SAMPLES_DIR
#
# Round trips to two X25519 keys and with a passphrase, with and without
# compression; the frozen encrypted samples restored; the errors a user
# meets (wrong key or passphrase, a key file others can read, no key) with
# exit 1 and nothing out; and damage that only the key can find (the
# SHA-256 seals made good again after the change, as someone who holds the
# volumes but not the key could): a key slot, a frame's tag, ciphertext or
# encrypted flag, a frame of another backup made with the same key, the
# trailers' sealed block.  Each must be refused before any byte of the damaged frame is
# handed on.  The last line says "N passed, M failed"; the exit status is
# 0 only when none failed.
set -euo pipefail

KORBR=${1:?usage: crypto_test.sh PATH/TO/korbr SAMPLES_DIR}
KORBR=$(cd "$(dirname "$KORBR")" && pwd)/$(basename "$KORBR")
SAMPLES=$(cd "${2:?usage: crypto_test.sh PATH/TO/korbr SAMPLES_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-crypto-test.XXXXXX")
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

# korbr ARGS...: runs korbr, standard output to $work/out, standard error
# to $work/err, its exit code in $rc.
korbr() {
  set +e
  "$KORBR" "$@" >"$work/out" 2>"$work/err"
  rc=$?
  set -e
}

dev() { echo "devname=$1/s{stripe};dbtype=ZDBn"; }
readonly REQUEST=8192 FRAME_START=$((228 + 4096))
# Byte OFFSET of stripe-local frame J in a stripe's first volume file.
at() { echo $((FRAME_START + $1 * REQUEST + $2)); }

flip() {  # FILE OFFSET [MASK]: inverts the bits of MASK (1) of one byte
  local old
  old=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf '%03o' $((old ^ ${3:-1})))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# reseal FILE OFFSET: makes the record (a header or trailer) at OFFSET
# pass its own SHA-256 again; restamp FILE J: the digest of frame J.
reseal() {
  python3 - "$1" "$2" <<'EOF'
import hashlib, sys
path, at = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, 'rb').read())
data[at + 4064:at + 4096] = hashlib.sha256(data[at:at + 4064]).digest()
open(path, 'wb').write(data)
EOF
}
restamp() {
  python3 - "$1" "$(at "$2" 0)" <<'EOF'
import hashlib, struct, sys
path, at = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, 'rb').read())
length = struct.unpack_from('<I', data, at + 32)[0]
payload = hashlib.sha256(data[at + 128:at + 128 + length]).digest()
data[at + 96:at + 128] = hashlib.sha256(data[at:at + 96] + payload).digest()
open(path, 'wb').write(data)
EOF
}
# take FROM J TO: frame J of one stripe's volume put in place of frame J of
# another backup's, with that backup's id and a good digest.
take() {
  dd if="$1" of="$3" bs=1 count=$REQUEST conv=notrunc status=none \
    iflag=skip_bytes,count_bytes oflag=seek_bytes \
    skip="$(at "$2" 0)" seek="$(at "$2" 0)"
  dd if="$3" of="$3" bs=1 count=16 conv=notrunc status=none \
    iflag=skip_bytes,count_bytes oflag=seek_bytes \
    skip=$((228 + 24)) seek="$(at "$2" 8)"
  restamp "$3" "$2"
}

# The keys: the committed ones, owner-only as git cannot keep them.
keys=$work/keys
mkdir "$keys"
cp "$SAMPLES"/keys/*.pem "$SAMPLES/keys/passphrase.txt" "$keys/"
chmod 600 "$keys"/*.key.pem "$keys/passphrase.txt"
printf 'another passphrase\n' >"$keys/wrong.txt"
chmod 600 "$keys/wrong.txt"
cp "$keys/alice.key.pem" "$keys/open.key.pem"
chmod 644 "$keys/open.key.pem"

# 200 KB of random input: about 25 frames whatever zstd makes of it.
head -c 200000 /dev/urandom >"$work/in"
seal=$("$KORBR" digest --request-size 8K "$work/in" | cut -d' ' -f1)

# ---- round trips
mkdir "$work/two" "$work/pass"
korbr backup --stripes 3 --request-size 8K --compress zstd \
  --encrypt-to "$keys/alice.pub.pem" --encrypt-to "$keys/bob.pub.pem" \
  --device "$(dev "$work/two")" "$work/in"
check "two keys, zstd: backed up, its content seal the input's" \
  grep -q "content seal $seal" "$work/err"
for who in alice bob; do
  korbr restore -q --key "$keys/$who.key.pem" --device "$(dev "$work/two")" -
  check "two keys, zstd: $who restores" cmp -s "$work/out" "$work/in"
done
korbr labels "$work/two/s2.1"
check "two keys: labels name the keys and no seal" \
  bash -c 'grep -q "encrypted to the keys with ids .*, " "$1" &&
    ! grep -q "content seal [0-9a-f]" "$1"' - "$work/out"
korbr list --json "$work/two"
check "two keys: list names the encryption and keeps the length unknown" \
  python3 -c 'import json, sys
s = json.load(open(sys.argv[1]))["sets"]
assert len(s) == 1 and s[0]["encryption"] == "x25519", s
assert s[0]["input_bytes"] is None and s[0]["complete"], s' "$work/out"
korbr verify --key "$keys/bob.key.pem" --device "$(dev "$work/two")"
check "two keys: verify with a key (exit $rc)" [ "$rc" -eq 0 ]
korbr verify --device "$(dev "$work/two")"
check "two keys: verify without a key checks what is stored" \
  grep -q "stored seal check out.*needs its key" "$work/err"
check "two keys: ... and passes (exit $rc)" [ "$rc" -eq 0 ]

korbr backup -q --stripes 2 --request-size 8K \
  --passphrase-file "$keys/passphrase.txt" --device "$(dev "$work/pass")" \
  "$work/in"
korbr restore -q --passphrase-file "$keys/passphrase.txt" \
  --device "$(dev "$work/pass")" -
check "passphrase: restores" cmp -s "$work/out" "$work/in"
# Neither a piece of the input nor its content seal is stored in the clear.
check "passphrase: nothing of the input in the clear" python3 - \
  "$work/in" "$seal" "$work/pass/s0.1" "$work/pass/s1.1" <<'EOF'
import sys
data = open(sys.argv[1], 'rb').read()
secrets = [data[9000:9032], data[100000:100032], bytes.fromhex(sys.argv[2])]
stored = b''.join(open(p, 'rb').read() for p in sys.argv[3:])
sys.exit(any(s in stored for s in secrets))
EOF

# ---- the frozen samples: the input of the plain version-3 sample,
# encrypted to alice and bob, and with the committed passphrase.
cp -r "$SAMPLES/stream-v3" "$work/plain-sample"
"$KORBR" restore -q --device "$(dev "$work/plain-sample")" "$work/sample-in"
for sample in x25519:--key=$keys/bob.key.pem \
  passphrase:--passphrase-file=$keys/passphrase.txt; do
  name=${sample%%:*}
  cp -r "$SAMPLES/crypto-v3-$name" "$work/sample-$name"
  korbr restore -q "${sample#*:}" --device "$(dev "$work/sample-$name")" -
  check "frozen $name sample restores" cmp -s "$work/out" "$work/sample-in"
done

# ---- what users get wrong: exit 1, a clear error, nothing out
mkdir "$work/alice"
"$KORBR" backup -q --request-size 8K --encrypt-to "$keys/alice.pub.pem" \
  --device "$(dev "$work/alice")" "$work/in"
errors=(
  "wrong key|--key=$keys/bob.key.pem|alice|bob.key.pem: the backup is not encrypted to this key"
  "wrong passphrase|--passphrase-file=$keys/wrong.txt|pass|wrong.txt: the passphrase is wrong"
  "key file others can read|--key=$keys/open.key.pem|alice|open.key.pem has mode 0644"
  "no key|--quiet|alice|the backup is encrypted to X25519 keys: give --key"
  "a passphrase for keys|--passphrase-file=$keys/passphrase.txt|alice|encrypted to keys, not with a passphrase"
)
for row in "${errors[@]}"; do
  IFS='|' read -r name option backup message <<<"$row"
  korbr restore "$option" --device "$(dev "$work/$backup")" -
  check "$name: exit 1 (exit $rc)" [ "$rc" -eq 1 ]
  check "$name: says so" grep -q -- "$message" "$work/err"
  check "$name: nothing out" [ ! -s "$work/out" ]
done

# ---- damage only the key finds
mkdir "$work/e" "$work/f"
for b in e f; do
  "$KORBR" backup -q --stripes 2 --request-size 8K \
    --encrypt-to "$keys/alice.pub.pem" --device "$(dev "$work/$b")" \
    "$work/in"
done
cp -r "$work/e" "$work/e.whole"
frames=$("$KORBR" labels "$work/e/s0.1" | sed -n 's/.* in \([0-9]*\) frames.*/\1/p')
trailer0=$(at $(((frames + 1) / 2)) 0)
capacity=$((REQUEST - 128))
slot_key=$((228 + 1024 + 32 + 40))
# damage | what is done | the frame refused (- none) | the message
table=(
  "key slot|flip $work/e/s0.1 $slot_key; reseal $work/e/s0.1 228; flip $work/e/s1.1 $slot_key; reseal $work/e/s1.1 228|-|key slot 0 .*does not open with this key"
  "frame tag|flip $work/e/s1.1 $(at 1 41); restamp $work/e/s1.1 1|3|stripe 1: frame 3 does not authenticate.*volume file $work/e/s1.1"
  "ciphertext|flip $work/e/s1.1 $(at 1 700); restamp $work/e/s1.1 1|3|stripe 1: frame 3 does not authenticate.*volume file $work/e/s1.1"
  "frame made plain|flip $work/e/s1.1 $(at 1 36) 2; restamp $work/e/s1.1 1|3|stripe 1: frame 3 is not encrypted, in an encrypted backup.*volume file $work/e/s1.1"
  "frame of another backup, same key|take $work/f/s1.1 1 $work/e/s1.1|3|stripe 1: frame 3 does not authenticate.*volume file $work/e/s1.1"
  "sealed block|flip $work/e/s0.1 $((trailer0 + 300)); reseal $work/e/s0.1 $trailer0; flip $work/e/s1.1 $(($(at $((frames / 2)) 0) + 300)); reseal $work/e/s1.1 $(at $((frames / 2)) 0)|-|sealed block does not authenticate"
)
for row in "${table[@]}"; do
  IFS='|' read -r name action frame message <<<"$row"
  rm -rf "$work/e"
  cp -r "$work/e.whole" "$work/e"
  eval "$action"
  korbr restore -q --key "$keys/alice.key.pem" --device "$(dev "$work/e")" -
  check "$name: refused (exit $rc)" [ "$rc" -eq 1 ]
  check "$name: named" grep -q -- "$message" "$work/err"
  out=$(stat -c %s "$work/out")
  check "$name: only what came before is out" \
    cmp -s -n "$out" "$work/out" "$work/in"
  if [ "$frame" != - ]; then
    check "$name: nothing of frame $frame out ($out bytes)" \
      [ "$out" -le $((frame * capacity)) ]
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
