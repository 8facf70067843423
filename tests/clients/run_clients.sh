#!/usr/bin/env bash
# korbr between real programs from Debian packages, end to end:
#   bash tests/clients/run_clients.sh PATH/TO/korbr
#
# PostgreSQL: a pgbench database (scale 5) dumped with pg_dump -Fc through
# korbr onto 3 stripes that span several volumes, restored through korbr
# into pg_restore in a new database, and every table compared by checksum;
# then the same encrypted to an X25519 key (made with the openssl tool) and
# compressed, restored with the private key.
# GNU tar: a directory tree through korbr (compressed) and back, diff -r
# clean.  Needs root (the cluster runs as the postgres user); a missing
# program fails the run.  The last line says "N passed, M failed".
set -euo pipefail
# A pipeline fails when any of its programs fails, not only the last: a
# pg_dump that dies must not pass for a short, complete dump.
set -o pipefail

KORBR=${1:?usage: run_clients.sh PATH/TO/korbr}
KORBR=$(cd "$(dirname "$KORBR")" && pwd)/$(basename "$KORBR")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/clients/pg_cluster.sh
source "$here/pg_cluster.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-clients.XXXXXX")
cleanup() {
  pg_cluster_stop
  rm -rf "$work"
}
trap cleanup EXIT
unset KORDBG KORIOPROF

passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok   $what"
  else
    failed=$((failed + 1))
    echo "FAIL $what"
  fi
}

# Inside check's condition `set -e` does not act: every step of a case
# ends it with `|| return 1`.
for tool in tar diff runuser openssl; do
  command -v "$tool" >/dev/null || { echo "run_clients: $tool is missing" >&2; exit 1; }
done

# ---------------------------------------------------------------- PostgreSQL

pg_roundtrip() {
  local dev="devname=$work/pg/dump.s{stripe};dbtype=ZDBn;capacity=256"
  mkdir -p "$work/pg"
  pg_cluster_start "$work/cluster" || return 1
  pg_as "$PGBIN/createdb" bench || return 1
  pg_as "$PGBIN/pgbench" -q -i -s 5 bench >"$work/pgbench.log" 2>&1 ||
    { cat "$work/pgbench.log" >&2; return 1; }
  pg_as "$PGBIN/pg_dump" -Fc bench |
    "$KORBR" backup --quiet --stripes 3 --dbname bench --device "$dev" - ||
    return 1
  local volumes
  volumes=$(ls "$work/pg" | wc -l)
  if [ "$volumes" -lt 6 ]; then
    echo "    expected the 3 stripes to span several volumes, got $volumes files" >&2
    return 1
  fi
  "$KORBR" verify --quiet --device "$dev" || return 1
  pg_as "$PGBIN/createdb" restored || return 1
  "$KORBR" restore --quiet --device "$dev" - |
    pg_as "$PGBIN/pg_restore" --exit-on-error -d restored || return 1
  tables_equal bench restored
}

# DB_A DB_B: every pgbench table has the same rows in both.
tables_equal() {
  local table sum_a sum_b
  for table in pgbench_accounts pgbench_branches pgbench_tellers pgbench_history; do
    local query="select count(*) || ':' || coalesce(md5(string_agg(t::text, ',' order by t::text)), '') from $table t"
    sum_a=$(pg_as "$PGBIN/psql" -X -At -d "$1" -c "$query")
    sum_b=$(pg_as "$PGBIN/psql" -X -At -d "$2" -c "$query")
    if [ -z "$sum_a" ] || [ "$sum_a" != "$sum_b" ]; then
      echo "    $table differs: '$sum_a' and '$sum_b'" >&2
      return 1
    fi
  done
  [ "$(pg_as "$PGBIN/psql" -X -At -d "$2" -c 'select count(*) from pgbench_accounts')" = 500000 ]
}

# The same database (the cluster pg_roundtrip started) encrypted to a key
# made with the openssl tool, compressed, and restored with its private key.
pg_encrypted_roundtrip() {
  local dev="devname=$work/pgx/dump.s{stripe};dbtype=ZDBn;capacity=256"
  mkdir -p "$work/pgx"
  (umask 077 && openssl genpkey -algorithm X25519 -out "$work/key.pem") ||
    return 1
  openssl pkey -in "$work/key.pem" -pubout -out "$work/pub.pem" || return 1
  pg_as "$PGBIN/pg_dump" -Fc bench |
    "$KORBR" backup --quiet --stripes 3 --compress zstd \
      --encrypt-to "$work/pub.pem" --device "$dev" - || return 1
  pg_as "$PGBIN/createdb" restored_encrypted || return 1
  "$KORBR" restore --quiet --key "$work/key.pem" --device "$dev" - |
    pg_as "$PGBIN/pg_restore" --exit-on-error -d restored_encrypted ||
    return 1
  tables_equal bench restored_encrypted
}

# ---------------------------------------------------------------- GNU tar

tar_roundtrip() {
  local dev="devname=$work/tar/tree.s{stripe};dbtype=ZDBn;capacity=1024"
  local tree=/usr/share/perl5
  [ -d "$tree" ] || tree=/usr/share/doc
  mkdir -p "$work/tar" "$work/untar"
  tar -cf - -C "$(dirname "$tree")" "$(basename "$tree")" |
    "$KORBR" backup --quiet --compress zstd --stripes 2 --device "$dev" - ||
    return 1
  "$KORBR" restore --quiet --device "$dev" - | tar -xf - -C "$work/untar" ||
    return 1
  diff -r "$tree" "$work/untar/$(basename "$tree")"
}

check "PostgreSQL: pg_dump -Fc | korbr backup (3 stripes) | korbr restore | pg_restore, tables equal" pg_roundtrip
check "PostgreSQL: pg_dump -Fc | korbr backup --encrypt-to --compress zstd (3 stripes) | korbr restore --key | pg_restore, tables equal" pg_encrypted_roundtrip
check "GNU tar: a tree through korbr (zstd) and back, diff -r clean" tar_roundtrip

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
