#!/usr/bin/env bash
# Backup and restore through libkorbr onto a local S3 store (the one the
# tests use: tests/objstore/local_s3.py), beside curl putting and getting
# the same bytes as one object, in the same run:
#   bench/objstore_bench.sh [--megabytes N] [--stripes N] [--runs N] ...
# (1 GiB, one stripe, 256 MiB volumes, median of 3 interleaved runs unless
# told otherwise).  The store keeps its data under build-release/bench-s3,
# removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/bench/build_release.sh"
store="$root/build-release/bench-s3"
trap '/usr/bin/python3 "$root/tests/objstore/local_s3.py" stop "$store"; rm -rf "$store"' EXIT
/usr/bin/python3 "$root/tests/objstore/local_s3.py" start "$store" korbr-bench >/dev/null
# shellcheck disable=SC1091
source "$store/env"
export KOR_TEST_NETRC
export KORDBG=0  # no trace lines in the figures
"$root/build-release/korbr_objstore_bench" --dir "$root/build-release" --s3 korbr-bench \
  --megabytes 1024 --stripes 1 "$@"
