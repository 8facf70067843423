# A throw-away PostgreSQL cluster for the client tests and benchmarks.
# Source this file, then:
#   pg_cluster_start DIR    initdb in DIR/pgdata as the postgres user and
#                           start it on a socket in DIR (no TCP); sets PGBIN
#                           and the PG* variables for psql and friends
#   pg_as CMD...            runs CMD as the postgres user with those
#                           variables (the cluster's files are its own)
#   pg_cluster_stop         stops it (call it from an EXIT trap)
# PostgreSQL comes from Debian's postgresql package (scripts/setup.sh);
# a missing one is an error, not a reason to skip.

pg_cluster_start() {
  local dir=$1
  PGBIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$PGBIN" ] || [ ! -x "$PGBIN/initdb" ]; then
    echo "pg_cluster: PostgreSQL is not installed (scripts/setup.sh installs it)" >&2
    return 1
  fi
  id postgres >/dev/null 2>&1 || {
    echo "pg_cluster: there is no postgres user" >&2
    return 1
  }
  PG_CLUSTER_DIR=$dir
  mkdir -p "$dir"
  # The postgres user must reach the cluster's directory.
  chmod 755 "$(dirname "$dir")" "$dir"
  install -d -o postgres -m 700 "$dir/pgdata" "$dir/socket"
  export PGHOST=$dir/socket PGPORT=54329 PGUSER=postgres
  pg_as "$PGBIN/initdb" -D "$dir/pgdata" -A trust -U postgres >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    return 1
  }
  pg_as "$PGBIN/pg_ctl" -D "$dir/pgdata" -l "$dir/pgdata/server.log" -w \
    -o "-c listen_addresses='' -k $dir/socket -p $PGPORT -c fsync=off" \
    start >/dev/null || {
    cat "$dir/pgdata/server.log" >&2
    return 1
  }
}

pg_as() {
  runuser -u postgres -- env PGHOST="$PGHOST" PGPORT="$PGPORT" \
    PGUSER="$PGUSER" "$@"
}

pg_cluster_stop() {
  if [ -n "${PG_CLUSTER_DIR:-}" ] && [ -f "$PG_CLUSTER_DIR/pgdata/postmaster.pid" ]; then
    pg_as "$PGBIN/pg_ctl" -D "$PG_CLUSTER_DIR/pgdata" -m immediate stop \
      >/dev/null 2>&1 || true
  fi
}
