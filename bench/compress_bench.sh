#!/usr/bin/env bash
# korbr --compress zstd on real data: the plain pg_dump of a pgbench
# database (scale 20) and /usr/share as a tar stream.  For each input:
# the compression ratio, and backup and restore throughput with and
# without compression (4 stripes, input and volumes in the page cache,
# median of RUNS), beside cat of the same input for scale.  A benchmark,
# not a test: it judges nothing.
#
#   bench/compress_bench.sh [--korbr PATH] [--runs N] [--dir DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
korbr=""
runs=3
dir=""
while [ $# -gt 0 ]; do
  case $1 in
    --korbr) korbr=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    *) echo "compress_bench: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$korbr" ]; then
  bash "$root/bench/build_release.sh"
  korbr="$root/build-release/korbr"
fi
# shellcheck source=tests/clients/pg_cluster.sh
source "$root/tests/clients/pg_cluster.sh"
if [ -z "$dir" ]; then
  dir=$(mktemp -d "${TMPDIR:-/tmp}/korbr-compress-bench.XXXXXX")
fi
trap 'pg_cluster_stop; rm -rf "$dir"' EXIT
export KOR_NO_FLUSH=1 KOR_CACHE=keep  # CPU cost: volumes stay in the cache

pg_cluster_start "$dir/cluster"
pg_as "$PGBIN/createdb" bench
pg_as "$PGBIN/pgbench" -q -i -s 20 bench >/dev/null 2>&1
pg_as "$PGBIN/pg_dump" bench >"$dir/pgdump.sql"
pg_cluster_stop
tar -cf "$dir/usr-share.tar" -C /usr share 2>/dev/null || true

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { print b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for input in pgdump.sql usr-share.tar; do
  bytes=$(stat -c %s "$dir/$input")
  mib=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }')
  echo "$input: $mib MiB"
  for mode in plain zstd; do
    opt=()
    [ "$mode" = zstd ] && opt=(--compress zstd)
    : >"$dir/b.times"; : >"$dir/r.times"; : >"$dir/c.times"
    for _ in $(seq "$runs"); do
      dev="devname=$dir/v.s{stripe};dbtype=ZDBn;capacity=262144"
      rm -f "$dir"/v.s*
      s=$(now); cat "$dir/$input" >"$dir/cat.out"; e=$(now)
      seconds "$s" "$e" >>"$dir/c.times"; rm -f "$dir/cat.out"
      s=$(now)
      "$korbr" backup -q "${opt[@]}" --stripes 4 --device "$dev" "$dir/$input"
      e=$(now); seconds "$s" "$e" >>"$dir/b.times"
      stored=$(du -cb "$dir"/v.s* | tail -n 1 | cut -f1)
      s=$(now)
      "$korbr" restore -q --device "$dev" "$dir/out"
      e=$(now); seconds "$s" "$e" >>"$dir/r.times"
      cmp "$dir/$input" "$dir/out"
      rm -f "$dir/out"
    done
    awk -v m="$mib" -v b="$bytes" -v st="$stored" -v mode="$mode" \
      -v bt="$(median <"$dir/b.times")" -v rt="$(median <"$dir/r.times")" \
      -v ct="$(median <"$dir/c.times")" 'BEGIN {
        printf "  %-5s ratio %5.2f:1  backup %7.1f MiB/s  restore %7.1f MiB/s  (cat %7.1f MiB/s)\n",
          mode, b / st, m / bt, m / rt, m / ct }'
  done
done
