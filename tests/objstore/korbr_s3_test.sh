#!/usr/bin/env bash
# korbr backing up onto and restoring from the local S3 store that
# tests/objstore/local_s3.py started in STORE_DIR:
#   bash tests/objstore/korbr_s3_test.sh PATH/TO/korbr STORE_DIR
#
# Each stream goes to s3:// stripes and, with the same device strings, to
# disk stripes; every volume object must have the disk volume file's size
# and labels (korbr labels, which reads files, reads them from a fetched
# copy), and the restore gives the stream back.  (The byte-for-byte check
# of objects against the requests is objstore_test.cc's.)  The last line
# says "N passed, M failed"; the exit status is 0 only when none failed.
set -euo pipefail

KORBR=${1:?usage: korbr_s3_test.sh PATH/TO/korbr STORE_DIR}
store=${2:?usage: korbr_s3_test.sh PATH/TO/korbr STORE_DIR}
if [ ! -f "$store/env" ]; then
  echo "korbr_s3_test: no object store in $store (local_s3.py start failed?)"
  echo "0 passed, 1 failed"
  exit 1
fi
# shellcheck disable=SC1091
source "$store/env"
bucket=korbr-test
work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-s3-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset KORDBG KORIOPROF
export KOR_NO_FLUSH=1  # the disk twins are for comparison only
run_id=$$

s3curl() {
  curl -sS --fail --netrc-file "$KOR_TEST_NETRC" --aws-sigv4 aws:amz:us-east-1:s3 \
    -H x-amz-content-sha256:UNSIGNED-PAYLOAD "$@"
}

passed=0
failed=0

# roundtrip NAME STRIPES BYTES CAPACITY_KB: one stream through s3 and disk.
roundtrip() {
  local name=$1 stripes=$2 bytes=$3 capacity=$4
  local dir="$work/$name" key="korbr-$run_id/$name"
  mkdir -p "$dir/disk"
  head -c "$bytes" /dev/urandom >"$dir/in"
  local opts="dbtype=ZDBn;capacity=$capacity"
  "$KORBR" backup --quiet --stripes "$stripes" --request-size 65536 \
    --device "devname=s3://$bucket/$key.s{stripe};$opts" "$dir/in" || return 1
  "$KORBR" backup --quiet --stripes "$stripes" --request-size 65536 \
    --device "devname=$dir/disk/$name.s{stripe};$opts" "$dir/in" || return 1
  "$KORBR" restore --quiet --stripes "$stripes" \
    --device "devname=s3://$bucket/$key.s{stripe};dbtype=ZDBn" "$dir/out" || return 1
  cmp "$dir/in" "$dir/out" || return 1
  # Every disk volume has its object, byte for byte, and no more objects.
  local files objects
  files=$(cd "$dir/disk" && ls | sort)
  objects=$(s3curl "$AWS_ENDPOINT_URL/$bucket?prefix=korbr-$run_id%2F$name." |
    grep -o '<Key>[^<]*</Key>' | sed 's|<Key>korbr-[0-9]*/||; s|</Key>||' | sort)
  [ "$files" = "$objects" ] || { echo "    objects: $objects / files: $files"; return 1; }
  for f in $files; do
    s3curl -o "$dir/object" "$AWS_ENDPOINT_URL/$bucket/korbr-$run_id/$f"
    # korbr's own stream header differs between two backups (it is made
    # anew each time); the volume's size and labels may not.
    [ "$(stat -c %s "$dir/object")" = "$(stat -c %s "$dir/disk/$f")" ] || return 1
    cmp <(head -c 228 "$dir/object") <(head -c 228 "$dir/disk/$f") || return 1
    cmp <(tail -c 160 "$dir/object") <(tail -c 160 "$dir/disk/$f") || return 1
    "$KORBR" labels "$dir/object" >"$dir/labels" || return 1
    grep -q "VOL1" "$dir/labels" || return 1
  done
  [ "$(echo "$files" | wc -l)" -ge "$5" ] || { echo "    too few volumes"; return 1; }
}

case_() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
  fi
}

# rclone (another S3 client) as the store's remote "store", set up from the
# same environment: path-style requests to the local endpoint.  (Its AWS
# library refuses AWS_CA_BUNDLE with its own transport; the store is http.)
rclone_() {
  env -u AWS_CA_BUNDLE -u AWS_SESSION_TOKEN RCLONE_CONFIG_STORE_TYPE=s3 RCLONE_CONFIG_STORE_PROVIDER=Other \
    RCLONE_CONFIG_STORE_ACCESS_KEY_ID=$AWS_ACCESS_KEY_ID \
    RCLONE_CONFIG_STORE_SECRET_ACCESS_KEY=$AWS_SECRET_ACCESS_KEY \
    RCLONE_CONFIG_STORE_ENDPOINT=$AWS_ENDPOINT_URL \
    RCLONE_CONFIG_STORE_REGION=us-east-1 \
    RCLONE_CONFIG_STORE_FORCE_PATH_STYLE=true \
    rclone --config /dev/null --retries 1 --low-level-retries 2 "$@"
}

# Our volume objects are plain objects: rclone lists and copies those a
# backup wrote (and korbr restores from the copies on disk), and korbr
# restores volume files that rclone uploaded.
interop() {
  local dir="$work/interop" key="korbr-$run_id/interop"
  mkdir -p "$dir/copied" "$dir/disk"
  head -c 2500000 /dev/urandom >"$dir/in"
  local opts="dbtype=ZDBn;capacity=1024"
  "$KORBR" backup --quiet --stripes 2 --request-size 65536 \
    --device "devname=s3://$bucket/$key.s{stripe};$opts" "$dir/in" || return 1
  local listed
  listed=$(rclone_ lsf "store:$bucket/korbr-$run_id/" | grep '^interop\.' | sort)
  [ "$(echo "$listed" | wc -l)" -ge 4 ] || { echo "    rclone lists: $listed"; return 1; }
  rclone_ copy --include 'interop.*' "store:$bucket/korbr-$run_id/" "$dir/copied" || return 1
  [ "$(cd "$dir/copied" && ls | sort)" = "$listed" ] || return 1
  "$KORBR" restore --quiet --stripes 2 \
    --device "devname=$dir/copied/interop.s{stripe};dbtype=ZDBn" "$dir/out1" || return 1
  cmp "$dir/in" "$dir/out1" || return 1
  # The other way: disk volumes uploaded by rclone, restored through s3://.
  "$KORBR" backup --quiet --stripes 2 --request-size 65536 \
    --device "devname=$dir/disk/up.s{stripe};$opts" "$dir/in" || return 1
  rclone_ copy "$dir/disk" "store:$bucket/korbr-$run_id/" || return 1
  "$KORBR" restore --quiet --stripes 2 \
    --device "devname=s3://$bucket/korbr-$run_id/up.s{stripe};dbtype=ZDBn" "$dir/out2" || return 1
  cmp "$dir/in" "$dir/out2"
}

# A volume object that opens but whose later bytes cannot be fetched (an
# endpoint that refuses the GET, tests/objstore/failing_get_s3.py): the
# restore names the store's answer, not an incomplete backup.
failed_get() {
  local dir="$work/failed_get" server port pid status=0
  mkdir -p "$dir/disk"
  head -c 20000000 /dev/urandom >"$dir/in"
  "$KORBR" backup --quiet \
    --device "devname=$dir/disk/v.s{stripe};dbtype=ZDBn;capacity=8192" \
    "$dir/in" || return 1
  [ -e "$dir/disk/v.s0.3" ] || return 1
  server=$(/usr/bin/python3 "$(dirname "$0")/failing_get_s3.py" "$dir/disk" \
    korbr-failing keys/v.s0.2) || return 1
  read -r port pid <<<"$server"
  # Parts of 5 MiB: the second GET of volume 2 is the one refused.
  env AWS_ENDPOINT_URL="http://127.0.0.1:$port" KOR_S3_RETRIES=0 \
    KOR_S3_PART_SIZE=5 "$KORBR" restore --quiet \
    --device "devname=s3://korbr-failing/keys/v.s{stripe};dbtype=ZDBn" \
    "$dir/out" </dev/null 2>"$dir/err" || status=$?
  kill "$pid"
  sed 's/^/    | /' "$dir/err"
  [ "$status" -eq 1 ] &&
    grep -q "stripe 0: reading from s3://korbr-failing/keys/v.s0 failed: object store: AccessDenied: .*(HTTP 403)" "$dir/err" &&
    ! grep -q "incomplete" "$dir/err"
}

# A store that refuses to open a volume for reading (HEAD 403, without
# the error document only a GET gets, tests/objstore/refusing_s3.py):
# restore and verify name the store's code and message, as a backup does.
refused_open() {
  local dir="$work/refused_open" server port pid command status
  mkdir -p "$dir"
  server=$(/usr/bin/python3 "$(dirname "$0")/refusing_s3.py") || return 1
  read -r port pid <<<"$server"
  for command in restore verify; do
    status=0
    env AWS_ENDPOINT_URL="http://127.0.0.1:$port" KOR_S3_RETRIES=0 \
      "$KORBR" "$command" --quiet \
      --device "devname=s3://korbr-refused/keys/v.s{stripe};dbtype=ZDBn" \
      $([ "$command" = restore ] && echo "$dir/out") </dev/null \
      2>"$dir/err" || status=$?
    sed 's/^/    | /' "$dir/err"
    [ "$status" -eq 1 ] &&
      grep -q "s3://korbr-refused/keys/v.s0.1: .*AccessDenied: refused by the test & its policy" "$dir/err" ||
      { kill "$pid"; return 1; }
  done
  kill "$pid"
}

case_ "one stripe spans several volume objects" roundtrip one 1 2500000 1024 3
case_ "four stripes, each on several volume objects" roundtrip four 4 2500000 256 8
case_ "an empty stream" roundtrip empty 2 0 1024 2
case_ "a failed GET is reported as the store answered" failed_get
case_ "restore and verify name why the store refused a volume" refused_open
if command -v rclone >/dev/null; then
  case_ "rclone moves the volume objects both ways" interop
else
  failed=$((failed + 1))
  echo "FAIL rclone moves the volume objects both ways (no rclone: scripts/setup.sh installs it)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
