#!/usr/bin/env bash
# What a disk backup and restore leave in the page cache, and at what rate:
#   bench/cache_bench.sh [--megabytes N] [--stripes N] [--runs N]
#                        [--memory-limit MiB] [--database MiB]
# (2 GiB onto 4 stripes, one round, unless told otherwise.)
#
# Each round, interleaved: korbr backup with the volumes dropped from the
# cache (the default), korbr backup with KOR_CACHE=keep (the behaviour
# before), and dd writing the same amount (conv=fsync, as korbr flushes its
# volumes); then a restore of each korbr backup to /dev/null, the volumes
# first evicted (dd iflag=nocache) so that both restores read the disk.
# Reported per mode, median over the rounds: the rate, the growth of Cached
# in /proc/meminfo over the step (the whole machine's: other work shows),
# and the volumes' pages in the cache afterwards (fincore).
#
# The eviction figure: a --database MiB file (512) read once into the cache,
# then a backup in each mode, both inside a memory cgroup limited to
# --memory-limit MiB (1024) so that the backup fills its memory; reported
# is how much of the file is still cached (fincore).  It needs root and a
# writable cgroup file system (v1 memory controller or v2); without, it is
# left out and says why.
#
# KORBR=path/to/korbr runs a korbr already built; otherwise the release
# tree is built (bench/build_release.sh).  The volumes go under
# ${BENCH_DIR:-/var/tmp}, which must be a disk file system.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
megabytes=2048 stripes=4 runs=1 limit=1024 database=512
while [ $# -gt 0 ]; do
  case $1 in
    --megabytes) megabytes=$2; shift 2 ;;
    --stripes) stripes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --memory-limit) limit=$2; shift 2 ;;
    --database) database=$2; shift 2 ;;
    *) echo "cache_bench: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "${KORBR:-}" ]; then
  bash "$root/bench/build_release.sh"
  KORBR="$root/build-release/korbr"
fi
command -v fincore >/dev/null || { echo "cache_bench: fincore (util-linux) is missing" >&2; exit 1; }
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/korbr-cache-bench.XXXXXX")
cgroup=""
cleanup() {
  rm -rf "$work"
  if [ -n "$cgroup" ] && [ -d "$cgroup" ]; then rmdir "$cgroup" 2>/dev/null || true; fi
}
trap cleanup EXIT
unset KOR_NO_FLUSH KORDBG KORIOPROF

device() { echo "devname=$work/$1.s{stripe};dbtype=ZDBn"; }
cached_kib() { awk '/^Cached:/ { print $2 }' /proc/meminfo; }
# Bytes of the given files in the page cache.
resident() { fincore --bytes --noheadings --output RES "$@" | awk '{ s += $1 } END { printf "%.0f\n", s }'; }
evict() { local f; for f in "$@"; do dd if="$f" iflag=nocache count=0 status=none; done; }
now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# step NAME COMMAND...: runs it, appends "seconds cached_growth_MiB" to
# $work/NAME.
step() {
  local name=$1 before after t0 t1
  shift
  sync
  before=$(cached_kib)
  t0=$(now)
  "$@"
  t1=$(now)
  after=$(cached_kib)
  echo "$(echo "$t1 - $t0" | bc -l) $(((after - before) / 1024))" >>"$work/$name.times"
}

korbr_backup() {  # MODE: drop or keep
  local cache=""
  [ "$1" = keep ] && cache=keep
  rm -f "$work/$1".s*
  head -c "$((megabytes << 20))" /dev/zero |
    KOR_CACHE=$cache "$KORBR" backup --quiet --stripes "$stripes" --request-size 1M \
      --device "$(device "$1")" -
}
korbr_restore() {
  local cache=""
  [ "$1" = keep ] && cache=keep
  KOR_CACHE=$cache "$KORBR" restore --quiet --stripes "$stripes" --device "$(device "$1")" - >/dev/null
}
dd_write() {
  dd if=/dev/zero of="$work/dd.out" bs=1M count="$megabytes" conv=fsync status=none
}

for round in $(seq 1 "$runs"); do
  for mode in drop keep; do
    step "backup-$mode" korbr_backup "$mode"
    resident "$work/$mode".s* >>"$work/backup-$mode.resident"
  done
  rm -f "$work/dd.out"
  step backup-dd dd_write
  resident "$work/dd.out" >>"$work/backup-dd.resident"
  rm -f "$work/dd.out"
  for mode in drop keep; do
    evict "$work/$mode".s*
    step "restore-$mode" korbr_restore "$mode"
    resident "$work/$mode".s* >>"$work/restore-$mode.resident"
  done
done

mib=$megabytes
printf '%d MiB onto %d disk stripes, %d round(s), medians\n' "$mib" "$stripes" "$runs"
printf '%-16s %10s %14s %18s\n' step MiB/s "Cached +MiB" "volumes cached MiB"
for name in backup-drop backup-keep backup-dd restore-drop restore-keep; do
  secs=$(awk '{ print $1 }' "$work/$name.times" | median)
  grow=$(awk '{ print $2 }' "$work/$name.times" | median)
  res=$(median <"$work/$name.resident")
  printf '%-16s %10.0f %14s %18.1f\n' "$name" "$(echo "$mib / $secs" | bc -l)" "$grow" \
    "$(echo "$res / 1048576" | bc -l)"
done
for what in backup restore; do
  d=$(awk '{ print $1 }' "$work/$what-drop.times" | median)
  k=$(awk '{ print $1 }' "$work/$what-keep.times" | median)
  printf '%s rate, dropped against kept: %.3f\n' "$what" "$(echo "$k / $d" | bc -l)"
done

# --- The database file in a memory-limited cgroup --------------------------
make_cgroup() {
  if [ -w /sys/fs/cgroup/memory ]; then
    cgroup=/sys/fs/cgroup/memory/korbr-cache-bench.$$
    mkdir "$cgroup" && echo "$((limit << 20))" >"$cgroup/memory.limit_in_bytes"
  elif grep -qw memory /sys/fs/cgroup/cgroup.controllers 2>/dev/null && [ -w /sys/fs/cgroup ]; then
    cgroup=/sys/fs/cgroup/korbr-cache-bench.$$
    mkdir "$cgroup" && echo "$((limit << 20))" >"$cgroup/memory.max"
  else
    return 1
  fi
}
if ! make_cgroup 2>/dev/null; then
  echo "eviction figure left out: no writable memory cgroup (needs root)"
  exit 0
fi
head -c "$((database << 20))" /dev/urandom >"$work/database"
for mode in drop keep; do
  evict "$work/database"
  rm -f "$work/$mode".s*
  (
    echo "$BASHPID" >"$cgroup/cgroup.procs"
    cat "$work/database" >/dev/null
    korbr_backup "$mode"
  )
  kept=$(resident "$work/database")
  printf 'database file (%d MiB) still cached after a %s backup in a %d MiB cgroup: %.0f %%\n' \
    "$database" "$mode" "$limit" "$(echo "100 * $kept / ($database * 1048576)" | bc -l)"
done
