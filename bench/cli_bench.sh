#!/usr/bin/env bash
# korbr backup and restore of one file onto disk stripes, against dd and
# GNU tar's multi-volume mode doing the same work on the same file system
# in the same run.  A benchmark, not a test: it judges nothing.
#
#   bench/cli_bench.sh [--stripes "1 4"] [--megabytes "256 1024"]
#                      [--pairs 5] [--durability "cache durable"]
#                      [--formats "2 3"] [--compress "none zstd"]
#                      [--encrypt "none x25519"]
#                      [--volume-mib 64] [--dir DIR] [--korbr PATH] [--quick]
#                      [--cold]
#
# For every combination of stripes, size and durability, each round times
#   backup:  korbr backup --request-size 64K onto the stripes, once per
#            stream format (--format) and compression asked for, each
#            onto volume files of its own; with --encrypt x25519 each
#            format-3 backup also encrypted to an X25519 key (--encrypt-to;
#            restored with --key), reported against the plain one;
#            dd bs=64k copying the file (conv=fsync when durable);
#            tar -c -M -L into volume files of the same size (their files
#            synced when durable)
#   restore: korbr restore (every frame and the whole stream checked) of
#            each of those backups to standard output, into /dev/null;
#            dd bs=64k reading the last format's plain volume files back
#            into /dev/null, one
#            dd after another per stripe, the stripes in parallel;
#            tar -x -M -O to standard output, into /dev/null
# in an order that rotates from one round to the next, with `sync` (not
# timed) before each step.  Reported per figure: the median over the rounds
# of each step's rate and CPU time per GiB (user + system of the
# processes), and of korbr's rate and CPU time as ratios against each other
# tool and the other formats in the same round, with their range; and the
# restores' rates against one core's SHA-256 as `openssl speed -evp sha256`
# measures it (16 KiB blocks) before the rounds.
# cache: KOR_NO_FLUSH and KOR_CACHE=keep are set (the library skips its
# flushes and keeps its volumes cached) and neither dd
# nor tar syncs; durable: KOR_NO_FLUSH is unset, dd uses conv=fsync and
# tar's volumes are synced.  --quick: 4 stripes, 128 MiB, 5 pairs.
# --cold (root only): the page cache is dropped before every timed restore,
# so that all three read the volumes from the device itself; this is the
# figure that shows whether a restore keeps up with the media.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

stripe_counts="1 4"
sizes="256 1024"
pairs=5
durabilities="cache durable"
volume_mib=64
formats="2 3"
compressions="none"
encryptions="none"
dir=""
korbr=""
cold=0
while [ $# -gt 0 ]; do
  case $1 in
    --stripes) stripe_counts=$2; shift 2 ;;
    --megabytes) sizes=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --durability) durabilities=$2; shift 2 ;;
    --volume-mib) volume_mib=$2; shift 2 ;;
    --formats) formats=$2; shift 2 ;;
    --compress) compressions=$2; shift 2 ;;
    --encrypt) encryptions=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --korbr) korbr=$2; shift 2 ;;
    --quick) stripe_counts=4; sizes=128; shift ;;
    --cold) cold=1; shift ;;
    -h|--help) sed -n '2,42p' "$0"; exit 0 ;;
    *) echo "cli_bench: unknown argument $1" >&2; exit 2 ;;
  esac
done

if [ -z "$korbr" ]; then
  bash "$root/bench/build_release.sh"
  korbr="$root/build-release/korbr"
fi
command -v tar >/dev/null || { echo "cli_bench: GNU tar is needed" >&2; exit 1; }
if [ "$cold" = 1 ] && ! [ -w /proc/sys/vm/drop_caches ]; then
  echo "cli_bench: --cold needs to write /proc/sys/vm/drop_caches (run as root)" >&2
  exit 1
fi

if [ -z "$dir" ]; then
  dir=$(mktemp -d "${TMPDIR:-/tmp}/korbr-cli-bench.XXXXXX")
  trap 'rm -rf "$dir"' EXIT
else
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
fi
work="$dir/bench"
rm -rf "$work"
mkdir -p "$work"
capacity_kb=$((volume_mib * 1024))
unset KORDBG

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

# --- The steps (STRIPES and DURABLE are set per configuration) -------------

device() { echo "devname=$work/korbr-$1.s{stripe};dbtype=ZDBn;capacity=$capacity_kb"; }
flush_env() { if [ "$DURABLE" = 1 ]; then env -u KOR_NO_FLUSH "$@"; else KOR_NO_FLUSH=1 KOR_CACHE=keep "$@"; fi; }

# One backup and one restore step per format and compression:
# korbr_backup_f3_zstd and korbr_restore_f3_zstd, say, on volume files
# korbr-f3-zstd.s<stripe>.<volume>.
# An encrypted variant (format 3 only) adds _x25519: korbr_backup_f3_none_x25519.
(umask 077 && openssl genpkey -algorithm X25519 -out "$work/key.pem")
openssl pkey -in "$work/key.pem" -pubout -out "$work/pub.pem"
korbr_variants=()
for f in $formats; do
  for c in $compressions; do
    case $c in
      none) copt="" ;;
      zstd) copt="--compress zstd" ;;
      *) echo "cli_bench: compression is none or zstd" >&2; exit 2 ;;
    esac
    for e in $encryptions; do
      case $e in
        none) v=f${f}_$c; eopt=""; kopt="" ;;
        x25519) v=f${f}_${c}_x25519; eopt="--encrypt-to $work/pub.pem"
          kopt="--key $work/key.pem" ;;
        *) echo "cli_bench: encryption is none or x25519" >&2; exit 2 ;;
      esac
      [ "$e" != none ] && [ "$f" -lt 3 ] && continue
      korbr_variants+=("$v")
      eval "korbr_backup_$v() {
        flush_env \"\$korbr\" backup --quiet --stripes \"\$STRIPES\" \\
          --request-size 64K --format $f $copt $eopt \\
          --device \"\$(device $v)\" \"\$work/input\"
      }
      korbr_restore_$v() {
        flush_env \"\$korbr\" restore --quiet $kopt \\
          --device \"\$(device $v)\" - >/dev/null
      }"
    done
  done
done
dd_variant=f${f}_none
dd_backup() {
  if [ "$DURABLE" = 1 ]; then
    dd if="$work/input" of="$work/dd.out" bs=64k conv=fsync status=none
  else
    dd if="$work/input" of="$work/dd.out" bs=64k status=none
  fi
}
tar_backup() {
  tar -c -M -L "$capacity_kb" -F "$work/tar-volume.sh" -f "$work/tar.1" \
    -C "$work" input
  if [ "$DURABLE" = 1 ]; then sync "$work"/tar.*; fi
}
dd_restore() {
  local s
  for s in $(seq 0 $((STRIPES - 1))); do
    (
      for v in $(ls -v "$work/korbr-$dd_variant.s$s".*); do
        dd if="$v" of=/dev/null bs=64k status=none
      done
    ) &
  done
  wait
}
tar_restore() {
  tar -x -M -O -F "$work/tar-volume.sh" -f "$work/tar.1" >/dev/null
}

# timed STEP: runs the step function after an untimed sync and appends
# "wall cpu" (seconds; cpu = user + system of every process it ran) to
# $work/times.STEP.
timed() {
  local step=$1 t
  sync
  case $cold:$step in 1:*_restore) echo 3 >/proc/sys/vm/drop_caches ;; esac
  t=$( { TIMEFORMAT='%R %U %S'; time "$step" 2>"$work/$step.err"; } 2>&1 ) || {
    echo "cli_bench: $step failed:" >&2
    cat "$work/$step.err" >&2
    exit 1
  }
  echo "$t" | awk '{ print $1, $2 + $3 }' >>"$work/times.$step"
}

# report NAME STEP BASELINE MIB: one line: the step's median wall and CPU
# seconds, then (against BASELINE, when given) the medians and ranges of
# the per-round ratios: rate (baseline wall / step wall) and CPU (step cpu /
# baseline cpu).
report() {
  local name=$1 step=$2 base=$3 mib=$4
  paste "$work/times.$step" "$work/times.${base:-$step}" | awk -v name="$name" \
    -v mib="$mib" -v compare="${base:+1}" '
    function median(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) {
        t = a[j]; a[j] = a[j-1]; a[j-1] = t }
      return n % 2 ? a[(n+1)/2] : (a[n/2] + a[n/2+1]) / 2
    }
    function range(a, n) { median(a, n); return sprintf("[%.2f-%.2f]", a[1], a[n]) }
    { n++; wall[n] = $1; cpu[n] = $2; rate[n] = $3 / $1; cost[n] = $2 / $4 }
    END {
      w = median(wall, n); c = median(cpu, n)
      if (compare)
        printf "  %-30s rate %5.2f x %-13s CPU %5.2f x %s\n", name,
               median(rate, n), range(rate, n), median(cost, n), range(cost, n)
      else
        printf "  %-30s %7.2f s %7.0f MiB/s %7.2f s CPU %6.2f s CPU/GiB\n",
               name, w, mib / w, c, c * 1024 / mib
    }'
}

# against_sha256 NAME STEP MIB: the median rate of the step as a multiple
# of one core's SHA-256 rate.
against_sha256() {
  awk -v name="$1" -v mib="$3" -v sha="$sha256_mibs" '
    { n++; r[n] = mib / $1 / sha }
    END {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && r[j-1] > r[j]; j--) {
        t = r[j]; r[j] = r[j-1]; r[j-1] = t }
      printf "  %-30s rate %5.2f x one SHA-256 core (%.0f MiB/s)\n", name,
             n % 2 ? r[(n+1)/2] : (r[n/2] + r[n/2+1]) / 2, sha
    }' "$work/times.$2"
}

run_configuration() {
  local mib=$1 round steps i j
  rm -f "$work"/times.*
  for round in $(seq 0 $((pairs - 1))); do
    for phase in backup restore; do
      steps=(dd_$phase tar_$phase)
      for v in "${korbr_variants[@]}"; do steps+=("korbr_${phase}_$v"); done
      for i in "${!steps[@]}"; do
        j=$(((i + round) % ${#steps[@]}))
        timed "${steps[$j]}"
      done
    done
    if [ "$round" -eq 0 ]; then
      # Check once that the restores gave the input back.
      for v in "${korbr_variants[@]}"; do
        key=()
        [ "${v%_x25519}" != "$v" ] && key=(--key "$work/key.pem")
        flush_env "$korbr" restore --quiet "${key[@]}" --device "$(device "$v")" - |
          cmp -s - "$work/input" || { echo "cli_bench: korbr restore ($v) differs" >&2; exit 1; }
      done
      tar -x -M -O -F "$work/tar-volume.sh" -f "$work/tar.1" |
        cmp -s - "$work/input" || { echo "cli_bench: tar -x differs" >&2; exit 1; }
    fi
    rm -f "$work"/korbr-*.s*.* "$work/dd.out" "$work"/tar.[0-9]*
  done
  echo "korbr on $STRIPES stripe(s), $mib MiB, ${volume_mib} MiB volumes," \
    "$([ "$DURABLE" = 1 ] && echo "durable (KOR_NO_FLUSH unset, dd conv=fsync, tar volumes synced)" ||
       echo "page cache (KOR_NO_FLUSH=1, nothing synced)");" \
    "median of $pairs rounds [range]"
  local phase v first
  for phase in backup restore; do
    if [ "$phase" = backup ]; then
      echo " backup"
    else
      echo " restore (into /dev/null)$([ "$cold" = 1 ] && echo ", page cache dropped before each" || true)"
    fi
    for v in "${korbr_variants[@]}"; do
      report "korbr $phase ${v/_/ }" "korbr_${phase}_$v" "" "$mib"
    done
    if [ "$phase" = backup ]; then
      report "dd bs=64k$([ "$DURABLE" = 1 ] && echo " conv=fsync" || true)" dd_backup "" "$mib"
      report "tar -c -M -L" tar_backup "" "$mib"
    else
      report "dd reading the ${dd_variant/_/ } volumes" dd_restore "" "$mib"
      report "tar -x -M -O" tar_restore "" "$mib"
    fi
    local base=f${formats%% *}
    for v in "${korbr_variants[@]}"; do
      report "korbr ${v/_/ } / dd" "korbr_${phase}_$v" "dd_$phase" "$mib"
      report "korbr ${v/_/ } / tar" "korbr_${phase}_$v" "tar_$phase" "$mib"
      # Encrypted against plain, the same format and compression.
      if [ "${v%_x25519}" != "$v" ]; then
        report "korbr ${v/_/ } / ${v%_x25519}" "korbr_${phase}_$v" \
          "korbr_${phase}_${v%_x25519}" "$mib"
      fi
      # Each format against the first one given, with the same compression.
      if [ "${v%%_*}" != "$base" ] && [ "${v%_x25519}" = "$v" ]; then
        report "korbr ${v/_/ } / $base ${v#*_}" "korbr_${phase}_$v" \
          "korbr_${phase}_${base}_${v#*_}" "$mib"
      fi
      if [ "$phase" = restore ]; then
        against_sha256 "korbr restore ${v/_/ }" "korbr_restore_$v" "$mib"
      fi
    done
  done
}

# One core's SHA-256, in MiB/s: OpenSSL's own figure for 16 KiB blocks
# (in units of 1000 bytes per second).
sha256_mibs=$(openssl speed -evp sha256 -bytes 16384 -seconds 2 2>/dev/null |
  awk '$1 == "sha256" || $1 == "SHA256" { v = $NF } END { sub(/k$/, "", v); printf "%.0f", v * 1000 / 1048576 }')
echo "openssl speed -evp sha256 (one core, 16 KiB blocks): $sha256_mibs MiB/s"

for mib in $sizes; do
  head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/input"
  for durability in $durabilities; do
    case $durability in
      cache) DURABLE=0 ;;
      durable) DURABLE=1 ;;
      *) echo "cli_bench: durability is cache or durable" >&2; exit 2 ;;
    esac
    for STRIPES in $stripe_counts; do
      echo
      run_configuration "$mib"
    done
  done
  rm -f "$work/input"
done
