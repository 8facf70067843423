#!/usr/bin/env bash
# Backup and restore through libkorbr onto a local S3 store (the one the
# tests use: tests/objstore/local_s3.py), beside curl putting and getting
# the same bytes as one object, in the same run:
#   bench/objstore_bench.sh [--megabytes N] [--stripes N] [--runs N] ...
# (1 GiB, one stripe, 256 MiB volumes, median of 3 interleaved runs unless
# told otherwise).  The store keeps its data under build-release/bench-s3,
# removed at the end.
#
#   bench/objstore_bench.sh --rclone [--megabytes N] [--runs N] [--wide N]
#                           [--settings "PART:CONCURRENCY ..."]
# compares the korbr command instead with rclone (another S3 client) moving
# the same bytes with the same part size and concurrency (KOR_S3_PART_SIZE,
# KOR_S3_CONCURRENCY, else the defaults 12 and 1): korbr backup of N MiB
# (1024) onto 1 and 4 s3:// stripes against rclone rcat of the same bytes
# (one rcat per stripe, each of its share, at once), korbr restore against
# rclone cat, alternating, medians of --runs (3).  Reported: rates as
# ratios korbr/rclone (with their range over the runs, each run's korbr
# against the rclone beside it) and CPU seconds (user + system) per GiB of
# both.  --settings measures several part sizes (MiB) and concurrencies in
# the same run, one table each, every round going through all of them.
# Then one backup and restore of 32 MiB a stripe onto --wide stripes (32;
# 0: none) to one bucket, with korbr's peak resident memory and peak thread
# count.
# KORBR=path/to/korbr runs a korbr already built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rclone_mode=0
if [ "${1:-}" = --rclone ]; then rclone_mode=1; shift; fi
if [ -z "${KORBR:-}" ] || [ "$rclone_mode" = 0 ]; then
  bash "$root/bench/build_release.sh"
fi
store="$root/build-release/bench-s3"
mkdir -p "$root/build-release"
trap '/usr/bin/python3 "$root/tests/objstore/local_s3.py" stop "$store"; rm -rf "$store"' EXIT
/usr/bin/python3 "$root/tests/objstore/local_s3.py" start "$store" korbr-bench >/dev/null
# shellcheck disable=SC1091
source "$store/env"
export KOR_TEST_NETRC
export KORDBG=0  # no trace lines in the figures (the library bench)
if [ "$rclone_mode" = 0 ]; then
  exec "$root/build-release/korbr_objstore_bench" --dir "$root/build-release" --s3 korbr-bench \
    --megabytes 1024 --stripes 1 "$@"
fi

# --- korbr against rclone -------------------------------------------------
unset KORDBG  # korbr traces only when it is set
KORBR=${KORBR:-$root/build-release/korbr}
megabytes=1024 runs=3 wide=32
part=${KOR_S3_PART_SIZE:-12} concurrency=${KOR_S3_CONCURRENCY:-1}
settings="$part:$concurrency"
while [ $# -gt 0 ]; do
  case $1 in
    --megabytes) megabytes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --wide) wide=$2; shift 2 ;;
    --settings) settings=$2; shift 2 ;;
    *) echo "objstore_bench: unknown option $1" >&2; exit 2 ;;
  esac
done
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/korbr-s3-bench.XXXXXX")
trap '/usr/bin/python3 "$root/tests/objstore/local_s3.py" stop "$store"; rm -rf "$store" "$work"' EXIT
bucket=korbr-bench
rclone_() {
  env -u AWS_CA_BUNDLE -u AWS_SESSION_TOKEN RCLONE_CONFIG_STORE_TYPE=s3 \
    RCLONE_CONFIG_STORE_PROVIDER=Other RCLONE_CONFIG_STORE_REGION=us-east-1 \
    RCLONE_CONFIG_STORE_ACCESS_KEY_ID="$AWS_ACCESS_KEY_ID" \
    RCLONE_CONFIG_STORE_SECRET_ACCESS_KEY="$AWS_SECRET_ACCESS_KEY" \
    RCLONE_CONFIG_STORE_ENDPOINT="$AWS_ENDPOINT_URL" RCLONE_CONFIG_STORE_FORCE_PATH_STYLE=true \
    rclone --config /dev/null -q --s3-chunk-size "${part}M" --s3-upload-concurrency "$concurrency" \
    --s3-upload-cutoff 0 "$@"
}
head -c "$((megabytes << 20))" /dev/urandom >"$work/input"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# timed NAME COMMAND...: appends "elapsed cpu" (seconds) to $work/NAME.
timed() {
  local name=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$@"
  awk '{ print $1, $2 + $3 }' "$work/time" >>"$work/$name"
}
device() { echo "devname=s3://$bucket/korbr-$1.s{stripe};dbtype=ZDBn;capacity=262144"; }
korbr_backup() {
  KOR_S3_PART_SIZE=$part KOR_S3_CONCURRENCY=$concurrency "$KORBR" backup --quiet \
    --stripes "$1" --request-size 1M --device "$(device "$1")" "$work/input"
}
korbr_restore() {
  "$KORBR" restore --quiet --stripes "$1" --device "$(device "$1")" - >/dev/null
}
# One rclone per stripe, each moving its share of the input at once.
rclone_backup() {
  local n=$1 share=$((megabytes / $1)) s
  for s in $(seq 0 $((n - 1))); do
    tail -c +$((s * share * 1048576 + 1)) "$work/input" | head -c $((share * 1048576)) |
      rclone_ rcat "store:$bucket/rclone-$n.s$s" &
  done
  wait
}
rclone_restore() {
  local n=$1 s
  for s in $(seq 0 $((n - 1))); do rclone_ cat "store:$bucket/rclone-$n.s$s" >/dev/null & done
  wait
}
export -f rclone_ korbr_backup korbr_restore rclone_backup rclone_restore device
export KORBR work part concurrency bucket megabytes

for round in $(seq 1 "$runs"); do
  for setting in $settings; do
    part=${setting%:*} concurrency=${setting#*:}
    export part concurrency
    for stripes in 1 4; do
      tag="$part-$concurrency-$stripes"
      timed "kb$tag" bash -c "korbr_backup $stripes"
      timed "rb$tag" bash -c "rclone_backup $stripes"
      timed "kr$tag" bash -c "korbr_restore $stripes"
      timed "rr$tag" bash -c "rclone_restore $stripes"
    done
  done
done
gib=$(echo "$megabytes / 1024" | bc -l)
# ratios K R: each run's rclone seconds over its korbr seconds, "min-max".
ratios() {
  paste -d ' ' <(awk '{ print $1 }' "$1") <(awk '{ print $1 }' "$2") |
    awk '{ r = $2 / $1; if (NR == 1 || r < lo) lo = r; if (NR == 1 || r > hi) hi = r }
         END { printf "%.2f-%.2f", lo, hi }'
}
for setting in $settings; do
  part=${setting%:*} concurrency=${setting#*:}
  printf '\n%d MiB, parts of %d MiB, %d at once, medians of %d\n' "$megabytes" "$part" \
    "$concurrency" "$runs"
  printf '%-20s %9s %9s %8s %10s %14s %14s\n' "" "korbr MiB/s" "rclone MiB/s" ratio range \
    "korbr CPU s/GiB" "rclone CPU s/GiB"
  for stripes in 1 4; do
    for step in backup restore; do
      k=kb r=rb
      [ "$step" = restore ] && k=kr r=rr
      tag="$part-$concurrency-$stripes"
      ke=$(awk '{ print $1 }' "$work/$k$tag" | median)
      re=$(awk '{ print $1 }' "$work/$r$tag" | median)
      kc=$(awk '{ print $2 }' "$work/$k$tag" | median)
      rc=$(awk '{ print $2 }' "$work/$r$tag" | median)
      printf '%-20s %9.0f %9.0f %8.3f %10s %14.2f %14.2f\n' "$step, $stripes stripe(s)" \
        "$(echo "$megabytes / $ke" | bc -l)" "$(echo "$megabytes / $re" | bc -l)" \
        "$(echo "$re / $ke" | bc -l)" "$(ratios "$work/$k$tag" "$work/$r$tag")" \
        "$(echo "$kc / $gib" | bc -l)" "$(echo "$rc / $gib" | bc -l)"
    done
  done
done
[ "$wide" -gt 0 ] || exit 0
part=${settings%%:*} concurrency=${settings%% *}
concurrency=${concurrency#*:}

# --- Many stripes to one bucket: peak memory and threads -------------------
# peak NAME COMMAND...: runs COMMAND under /usr/bin/time, sampling the
# thread count of its process; prints NAME, peak resident memory, peak
# threads.
peak() {
  local name=$1 threads=0 t pid
  shift
  /usr/bin/time -f '%M' -o "$work/rss" "$@" &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    t=$(ps -o nlwp= --ppid "$pid" 2>/dev/null | sort -n | tail -1)
    [ "${t:-0}" -gt "$threads" ] && threads=$t
    sleep 0.05
  done
  wait "$pid"
  printf '%d stripes, %-8s peak resident %d MiB, peak threads %d\n' "$wide" "$name:" \
    "$(awk '{ printf "%.0f", $1 / 1024 }' "$work/rss")" "$threads"
}
# 32 MiB a stripe: more than a restore's read-ahead and several parts, so
# every buffer a stripe may hold is filled.
head -c "$((wide * 32 << 20))" /dev/urandom >"$work/input"
peak backup env KOR_S3_PART_SIZE="$part" KOR_S3_CONCURRENCY="$concurrency" "$KORBR" backup \
  --quiet --stripes "$wide" --request-size 1M --device "$(device wide)" "$work/input"
peak restore env KOR_NO_FLUSH=1 "$KORBR" restore --quiet --stripes "$wide" \
  --device "$(device wide)" "$work/output"
