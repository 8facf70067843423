#!/usr/bin/env bash
# korbr backup and restore of one file onto 4 disk stripes, beside GNU
# tar's multi-volume mode writing the same file into volume files of the
# same size, and dd copying it with the same block size, all on the same
# file system in the same run.  Reported as throughput and ratios.  A
# benchmark, not a test: it judges nothing.
#
#   bench/cli_bench.sh [--megabytes N] [--dir DIR] [--volume-mib N]
#                      [--korbr PATH]
#
# Defaults: 1024 MiB, a fresh directory under ${TMPDIR:-/tmp} (removed
# afterwards), 64 MiB volumes (so that every stripe and the tar archive
# span several), and korbr built in build-release.  Every
# tool works through the page cache (nothing forces data to the disk, and
# `sync` runs before each timed step), so the ratios compare the cost of
# the tools' paths rather than the disk.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

megabytes=1024
dir=""
volume_mib=64
korbr=""
while [ $# -gt 0 ]; do
  case $1 in
    --megabytes) megabytes=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --volume-mib) volume_mib=$2; shift 2 ;;
    --korbr) korbr=$2; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "cli_bench: unknown argument $1" >&2; exit 2 ;;
  esac
done

if [ -z "$korbr" ]; then
  bash "$root/scripts/setup.sh"
  bash "$root/scripts/build.sh" "$root/build-release" \
    -DCMAKE_BUILD_TYPE=Release -DKORBR_BUILD_TESTS=OFF >/dev/null
  korbr="$root/build-release/korbr"
fi
command -v tar >/dev/null || { echo "cli_bench: GNU tar is needed" >&2; exit 1; }

if [ -z "$dir" ]; then
  dir=$(mktemp -d "${TMPDIR:-/tmp}/korbr-cli-bench.XXXXXX")
  trap 'rm -rf "$dir"' EXIT
else
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
fi
work="$dir/bench"
rm -rf "$work"
mkdir -p "$work/tar-out"

request=65536
capacity_kb=$((volume_mib * 1024))
input="$work/input"
bytes=$((megabytes * 1024 * 1024))
echo "cli_bench: $megabytes MiB input, 4 stripes, ${volume_mib} MiB volumes," \
  "requests and dd blocks of $request bytes, in $work"
head -c "$bytes" /dev/urandom >"$input"

# GNU tar calls this at each change of volume: it names the next volume
# file (FILE.1, FILE.2, ...) on the descriptor TAR_FD; when reading, the
# volume must exist.
cat >"$work/tar-volume.sh" <<'SCRIPT'
#!/bin/bash
base=${TAR_ARCHIVE%.*}
case $TAR_SUBCOMMAND in
  -c) ;;
  -x|-t|-d) test -r "$base.$TAR_VOLUME" || exit 1 ;;
  *) exit 1 ;;
esac
echo "$base.$TAR_VOLUME" >&"$TAR_FD"
SCRIPT
chmod +x "$work/tar-volume.sh"

now() { date +%s.%N; }
# timed NAME COMMAND...: runs it after a sync, stores the seconds in
# seconds_NAME.
timed() {
  local name=$1 start end
  shift
  sync
  start=$(now)
  "$@"
  end=$(now)
  printf -v "seconds_$name" '%s' "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
}

device="devname=$work/korbr.s{stripe};dbtype=ZDBn;capacity=$capacity_kb"
timed korbr_backup "$korbr" backup --quiet --stripes 4 \
  --request-size "$request" --device "$device" "$input"
timed korbr_restore "$korbr" restore --quiet --device "$device" \
  "$work/korbr.out"
cmp "$input" "$work/korbr.out"
rm -f "$work/korbr.out"

timed tar_create tar -c -M -L "$capacity_kb" -F "$work/tar-volume.sh" \
  -f "$work/tar.1" -C "$work" input
timed tar_extract tar -x -M -F "$work/tar-volume.sh" -f "$work/tar.1" \
  -C "$work/tar-out"
cmp "$input" "$work/tar-out/input"
rm -f "$work/tar-out/input"

timed dd dd if="$input" of="$work/dd.out" bs="$request" status=none
cmp "$input" "$work/dd.out"
rm -f "$work/dd.out"

# For context: korbr hashes every byte with SHA-256 (backup and restore),
# which neither tar nor dd does.
timed sha256sum sha256sum "$input" >/dev/null

rate() { awk -v m="$megabytes" -v s="$1" 'BEGIN { print m / s }'; }
line() { printf '  %-44s %8.2f s %9.1f MiB/s\n' "$1" "$2" "$(rate "$2")"; }
ratio() {
  printf '  %-44s %6.2f\n' "$1" "$(awk -v a="$2" -v b="$3" 'BEGIN { print b / a }')"
}

echo "results (same run, same file system):"
line "korbr backup (4 stripes)" "$seconds_korbr_backup"
line "korbr restore (4 stripes)" "$seconds_korbr_restore"
line "tar -c -M (volumes of ${volume_mib} MiB)" "$seconds_tar_create"
line "tar -x -M" "$seconds_tar_extract"
line "dd bs=$request" "$seconds_dd"
line "sha256sum (coreutils; the checksum alone)" "$seconds_sha256sum"
echo "throughput ratios (above 1: korbr is faster):"
ratio "korbr backup / tar -c -M" "$seconds_korbr_backup" "$seconds_tar_create"
ratio "korbr restore / tar -x -M" "$seconds_korbr_restore" "$seconds_tar_extract"
ratio "korbr backup / dd" "$seconds_korbr_backup" "$seconds_dd"
ratio "korbr restore / dd" "$seconds_korbr_restore" "$seconds_dd"
echo "volume files: korbr $(ls "$work"/korbr.s*.* | wc -l)," \
  "tar $(ls "$work"/tar.* | wc -l)"
