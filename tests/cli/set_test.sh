#!/usr/bin/env bash
# A backup set's life on disk, end to end: the set lock against runs that
# overlap, and a set replaced only by a whole backup, whatever ends the
# backup before that.  Given the directory of a running local S3 store
# (tests/objstore/local_s3.py), the same on object storage instead.
#   bash tests/cli/set_test.sh PATH/TO/korbr [STORE_DIR]
#
# Overlaps and kill points are driven by the input pipe, never by time: a
# write of more than a pipe's buffer into the backup's input returns only
# once korbr is reading it, which it does only with its lock held.  The
# last line says "N passed, M failed"; the exit status is 0 only when none
# failed.
set -euo pipefail

KORBR=${1:?usage: set_test.sh PATH/TO/korbr [STORE_DIR]}
store=${2:-}
KORBR=$(cd "$(dirname "$KORBR")" && pwd)/$(basename "$KORBR")
work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-set-test.XXXXXX")
cleanup() {
  mountpoint -q "$work/small" 2>/dev/null && umount "$work/small"
  rm -rf "$work"
}
trap cleanup EXIT
unset KORDBG KORIOPROF
export KOR_NO_FLUSH=1

passed=0
failed=0
source "$(dirname "$0")/harness.sh"



# Two stripes of 256 KB volumes under PREFIX.s0, PREFIX.s1.
dev() { echo "devname=$1.s{stripe};dbtype=ZDBn;capacity=256"; }

# restores_as PREFIX FILE: the set on PREFIX verifies and restores to FILE.
restores_as() {
  "$KORBR" restore -q --device "$(dev "$1")" "$1.out" 2>"$1.restore.err" &&
    cmp -s "$1.out" "$2" && rm -f "$1.out"
}

restores_either() { restores_as "$1" "$2" || restores_as "$1" "$3"; }

# Files of PREFIX's stripes, hidden ones too, that are neither volumes of
# a set nor the stripes' lock files.
strays() {
  local base
  base=$(basename "$1")
  ls -A "$(dirname "$1")" | grep -F "$base.s" |
    grep -v -x -e "$base\.s[01]\.[1-9][0-9]*" -e "\.$base\.s[01]\.lock" || true
}

# start_backup PREFIX ERR [OPTIONS]: a backup of 2 stripes onto PREFIX
# reading the FIFO $fifo, which this shell holds open on fd 3; $pid is its
# process.
start_backup() {
  local prefix=$1 err=$2
  shift 2
  rm -f "$fifo" && mkfifo "$fifo"
  "$KORBR" backup -q --stripes 2 "$@" --device "$(dev "$prefix")" - \
    <"$fifo" 2>"$err" &
  pid=$!
  exec 3>"$fifo"
}

# finish PID: waits for it; its exit status in $rc.
finish() {
  rc=0
  wait "$1" || rc=$?
}

# A backup running from a pipe holds its set: a second backup (either the
# long or the short one first) and a restore of that set are refused at
# once, naming the process; the first then completes and restores.
overlapping_runs_are_refused() {
  local d=$1 fifo=$1/fifo pid rc first second
  head -c 1500000 /dev/urandom >"$d/long"
  head -c 200000 /dev/urandom >"$d/short"
  for first in long short; do
    second=$([ "$first" = long ] && echo short || echo long)
    start_backup "$d/set" "$d/$first.err"
    # More than the pipe holds: korbr is reading, so it holds the lock.
    head -c 100000 "$d/$first" >&3
    local second_rc=0 verify_rc=0
    "$KORBR" backup -q --stripes 2 --device "$(dev "$d/set")" "$d/$second" \
      2>"$d/second.err" || second_rc=$?
    "$KORBR" verify -q --device "$(dev "$d/set")" 2>"$d/verify.err" ||
      verify_rc=$?
    tail -c +100001 "$d/$first" >&3
    exec 3>&-
    finish "$pid"
    expect "$first first: the second backup exits 1 (got $second_rc)" \
      [ "$second_rc" -eq 1 ] || return 1
    expect "the refusal names the running backup" \
      has "$d/second.err" "in use by korbr backup (pid $pid on " || return 1
    expect "$first first: a verify meanwhile exits 1 (got $verify_rc)" \
      [ "$verify_rc" -eq 1 ] || return 1
    expect "the verify is refused too" \
      has "$d/verify.err" "in use by korbr backup (pid $pid" || return 1
    expect "the first backup completes (got $rc)" [ "$rc" -eq 0 ] || return 1
    expect "and restores to its own input" restores_as "$d/set" "$d/$first" ||
      return 1
  done
  # A restore holds the set against a backup just as well.
  rm -f "$fifo" && mkfifo "$fifo"
  "$KORBR" restore -q --device "$(dev "$d/set")" - >"$fifo" 2>/dev/null &
  pid=$!
  exec 3<"$fifo"
  head -c 1000 <&3 >/dev/null
  local third_rc=0
  "$KORBR" backup -q --stripes 2 --device "$(dev "$d/set")" "$d/long" \
    2>"$d/third.err" || third_rc=$?
  cat <&3 >/dev/null
  exec 3<&-
  finish "$pid"
  expect "a backup during a restore exits 1 (got $third_rc)" \
    [ "$third_rc" -eq 1 ] || return 1
  expect "naming the restore" has "$d/third.err" "in use by a restore or verify (pid $pid" ||
    return 1
  expect "the set is still the short backup" restores_as "$d/set" "$d/short"
}

# A good set, then a backup onto it ended at many points of its run (in
# its first volume, across volume switches, while closing) by SIGTERM, by
# Ctrl-C once and twice, and by SIGKILL: afterwards the old set restores,
# or, only where the backup reported success, the new one does; nothing
# but the set's own volumes stays (SIGKILL's debris goes with the next
# backup).  A completed replacement leaves none of the old set's volumes.
ended_backups_leave_the_old_set() {
  local d=$1 fifo=$1/fifo pid rc point signal chunks kills=0
  head -c 2000000 /dev/urandom >"$d/old"
  head -c 1000000 /dev/urandom >"$d/new"
  "$KORBR" backup -q --stripes 2 --device "$(dev "$d/set")" "$d/old"
  local old_volumes
  old_volumes=$(ls "$d"/set.s0.[0-9]* | wc -l)
  # 64 KB steps of the 1 MB input: its 2 stripes switch volumes about
  # every 8 steps.
  # The number of the new backup's last volume on stripe 1.
  "$KORBR" backup -q --stripes 2 --device "$(dev "$d/probe")" "$d/new"
  local last
  last=$(ls "$d"/probe.s1.[0-9]* | wc -l)
  # Two steps fill more than the pipe holds, so korbr is running (and
  # handles signals) when the signal comes; at "eof" the input is whole
  # and korbr is writing its last requests, at "last" it has begun its last
  # volume and may be closing, or done.
  for point in TERM:2 TERM:3 TERM:4 TERM:5 TERM:7 TERM:8 TERM:9 TERM:11 \
               TERM:13 TERM:15 TERM:eof TERM:last INT:4 INT:last INTINT:2 \
               INTINT:9 INTINT:14 KILL:0 KILL:6 KILL:10 KILL:eof KILL:last; do
    signal=${point%%:*}
    chunks=${point#*:}
    start_backup "$d/set" "$d/k.err"
    if [ "$chunks" = eof ] || [ "$chunks" = last ]; then
      cat "$d/new" >&3
      exec 3>&-
      if [ "$chunks" = last ]; then
        while [ ! -e "$d/set.s1.staging-$pid.$last" ] && kill -0 "$pid"; do
          :
        done 2>/dev/null
      fi
    else
      head -c $((chunks * 65536)) "$d/new" >&3
    fi
    case $signal in
      # Both pending when it runs on: the second ends it at once.
      INTINT) kill -STOP "$pid"; kill -INT "$pid"; kill -TERM "$pid"
              kill -CONT "$pid" ;;
      # With the whole input given, korbr may have finished already.
      *) kill -"$signal" "$pid" 2>/dev/null || grep -qx 'eof\|last' <<<"$chunks" ;;
    esac
    exec 3>&-
    finish "$pid"
    kills=$((kills + 1))
    if [ "$rc" -eq 0 ]; then
      expect "$point: only a whole input can succeed" \
        grep -qx 'eof\|last' <<<"$chunks" || return 1
      expect "$point: the reported success restores" restores_as "$d/set" "$d/new" ||
        return 1
      "$KORBR" backup -q --stripes 2 --device "$(dev "$d/set")" "$d/old"
      continue
    fi
    if [ "$signal" = KILL ]; then
      # Killed once its renames began, the new set is whole and is what a
      # restore finds (finishing the renames); never a mix of the two.
      expect "$point: a whole set restores" \
        restores_either "$d/set" "$d/old" "$d/new" || {
        cat "$d/set.restore.err" >&2
        return 1
      }
      "$KORBR" backup -q --stripes 2 --device "$(dev "$d/set")" "$d/old"
      continue
    fi
    expect "$point: the old set restores" restores_as "$d/set" "$d/old" || {
      cat "$d/k.err" "$d/set.restore.err" >&2
      return 1
    }
    if [ "$signal" = INTINT ]; then
      expect "$point: says its volumes were removed" \
        has "$d/k.err" "volume files it wrote were removed" || return 1
    else
      expect "$point: says the old set is untouched" \
        has "$d/k.err" "the previous backup on $d/set.s0 (and 1 more stripe) is untouched" ||
        { cat "$d/k.err" >&2; return 1; }
    fi
    expect "$point: nothing but the set's volumes: $(strays "$d/set")" \
      [ -z "$(strays "$d/set")" ] || return 1
  done
  expect "at least 20 kills (got $kills)" [ "$kills" -ge 20 ] || return 1
  # A KILL leaves staged volumes; the next backup removes them and says so.
  start_backup "$d/set" "$d/k.err"
  head -c 300000 "$d/new" >&3
  kill -KILL "$pid"
  exec 3>&-
  finish "$pid"
  expect "SIGKILL leaves staged volumes" [ -n "$(strays "$d/set")" ] || return 1
  expect "which are not a set: the old one restores" restores_as "$d/set" "$d/old" ||
    return 1
  "$KORBR" backup --stripes 2 --device "$(dev "$d/set")" "$d/new" 2>"$d/n.err"
  expect "the next backup removes them" [ -z "$(strays "$d/set")" ] || return 1
  expect "and says so" has "$d/n.err" "staged volume files\? that an ended backup left" ||
    return 1
  expect "and that it replaced the old set" has "$d/n.err" "replaced the previous backup" ||
    return 1
  expect "the replacement restores" restores_as "$d/set" "$d/new" || return 1
  expect "no volume of the old, longer set stays" \
    [ "$(ls "$d"/set.s0.[0-9]* | wc -l)" -lt "$old_volumes" ] || return 1
  expect "volumes numbered from 1 without a gap" \
    [ "$(ls "$d"/set.s0.[0-9]* | sed 's/.*\.//' | sort -n | tail -1)" -eq \
      "$(ls "$d"/set.s0.[0-9]* | wc -l)" ] || return 1
  expect "its closing line counts the volumes it renamed into place" \
    has "$d/n.err" "stored ([0-9.]*:1), $(ls "$d"/set.s[01].[0-9]* | wc -l) volumes"
}

# A backup that fails where there was no set removes what it wrote (and
# says so), unless --keep-partial; a full disk under a set leaves that set.
failed_backups_clean_up() {
  local d=$1 fifo=$1/fifo pid rc
  head -c 1000000 /dev/urandom >"$d/in"
  start_backup "$d/empty" "$d/e.err"
  head -c 500000 "$d/in" >&3
  kill -TERM "$pid"
  exec 3>&-
  finish "$pid"
  expect "the failed backup exits 1 (got $rc)" [ "$rc" -eq 1 ] || return 1
  expect "no volume stays" [ -z "$(ls "$d"/empty.* 2>/dev/null | grep -v lock)" ] ||
    return 1
  expect "its last line says so" \
    bash -c "tail -1 '$d/e.err' | grep -q 'removed the [0-9]* partial volume files it wrote on $d/empty.s0'" ||
    return 1
  start_backup "$d/kept" "$d/p.err" --keep-partial
  head -c 500000 "$d/in" >&3
  kill -TERM "$pid"
  exec 3>&-
  finish "$pid"
  expect "--keep-partial keeps them" [ -f "$d/kept.s0.1" ] || return 1
  expect "and says so" has "$d/p.err" "are kept (--keep-partial)" || return 1
  # A full file system: a small tmpfs holding a set (the tests run as root).
  mkdir "$d/../small"
  if ! mount -t tmpfs -o size=3m tmpfs "$d/../small" 2>/dev/null; then
    echo "    (no full-disk case: cannot mount a tmpfs here)" >&2
    return 0
  fi
  local s=$d/../small/set
  "$KORBR" backup -q --stripes 2 --device "$(dev "$s")" "$d/in"
  head -c 2500000 /dev/urandom >"$d/big"
  rc=0
  "$KORBR" backup -q --wait-timeout 1 --stripes 2 --device "$(dev "$s")" \
    "$d/big" </dev/null 2>"$d/f.err" || rc=$?
  expect "the backup onto a full disk exits 1 (got $rc)" [ "$rc" -eq 1 ] || return 1
  expect "the set on the full disk restores" restores_as "$s" "$d/in" || return 1
  expect "no staged volume stays" [ -z "$(strays "$s")" ] || return 1
  expect "the last line says the old set is untouched" \
    bash -c "tail -1 '$d/f.err' | grep -q 'previous backup on .* is untouched'"
}

# On object storage: an overlap is refused as on disk (on one host); a set
# is never written over without --replace, and with it is replaced.
object_storage_sets() {
  local d=$1 fifo=$1/fifo pid rc key
  key="s3://korbr-test/set-$$-$RANDOM"
  head -c 700000 /dev/urandom >"$d/old"
  head -c 300000 /dev/urandom >"$d/new"
  start_backup "$key" "$d/a.err"
  head -c 100000 "$d/old" >&3
  local second_rc=0 verify_rc=0
  "$KORBR" backup -q --stripes 2 --device "$(dev "$key")" "$d/new" \
    2>"$d/second.err" || second_rc=$?
  "$KORBR" verify -q --device "$(dev "$key")" 2>"$d/verify.err" || verify_rc=$?
  tail -c +100001 "$d/old" >&3
  exec 3>&-
  finish "$pid"
  expect "the overlapping backup exits 1 (got $second_rc)" [ "$second_rc" -eq 1 ] ||
    return 1
  expect "naming the running one" has "$d/second.err" "in use by korbr backup (pid $pid" ||
    return 1
  expect "the verify meanwhile exits 1 (got $verify_rc)" [ "$verify_rc" -eq 1 ] ||
    return 1
  expect "the first backup completes (got $rc)" [ "$rc" -eq 0 ] || return 1
  local refused_rc=0
  "$KORBR" backup -q --stripes 2 --device "$(dev "$key")" "$d/new" \
    2>"$d/refused.err" || refused_rc=$?
  expect "a backup onto the set without --replace exits 1 (got $refused_rc)" \
    [ "$refused_rc" -eq 1 ] || return 1
  expect "saying why and what to do" has "$d/refused.err" "give --replace" || return 1
  expect "the set still restores" restores_object_set "$key" "$d/old" || return 1
  "$KORBR" list "$key" >"$d/list.out"
  expect "list shows it complete" has "$d/list.out" "^$key.s{stripe} .* complete$" ||
    return 1
  expect "list --json gives its volumes and length" \
    listed "$key" 'len(d["sets"]) == 1 and d["sets"][0]["complete"] and
      min(d["sets"][0]["volumes_per_stripe"]) > 1 and
      d["sets"][0]["input_bytes"] == 700000' || return 1
  "$KORBR" backup --replace --stripes 2 --device "$(dev "$key")" "$d/new" \
    2>"$d/replace.err"
  expect "--replace says it replaced in place" \
    has "$d/replace.err" "replaced the previous backup on $key.s0 .*in place" || return 1
  expect "the replacement restores" restores_object_set "$key" "$d/new" || return 1
  expect "the shorter replacement leaves none of the old set's objects" \
    listed "$key" 'len(d["sets"]) == 1 and d["sets"][0]["complete"] and
      d["sets"][0]["input_bytes"] == 300000 and d["sets"][0]["leftovers"] == []'
}

# A backup onto an empty prefix ended by a signal removes the volume
# objects it completed, and says so last; with --keep-partial they stay,
# listed as an incomplete set.
failed_object_backups_clean_up() {
  local d=$1 fifo=$1/fifo pid rc key
  key="s3://korbr-test/failed-$$-$RANDOM"
  # Twice what korbr holds in its queues, so that volumes complete first.
  head -c 8000000 /dev/urandom >"$d/in"
  start_backup "$key/gone" "$d/gone.err"
  cat "$d/in" >&3
  kill -TERM "$pid"
  exec 3>&-
  finish "$pid"
  expect "the ended backup exits 1 (got $rc)" [ "$rc" -eq 1 ] || return 1
  expect "its last line says it removed what it completed" \
    bash -c "tail -1 '$d/gone.err' | grep -q 'removed the [1-9][0-9]* volume objects\\? it completed on $key/gone.s0'" ||
    return 1
  start_backup "$key/kept" "$d/kept.err" --keep-partial
  cat "$d/in" >&3
  kill -TERM "$pid"
  exec 3>&-
  finish "$pid"
  expect "--keep-partial says they are kept" \
    has "$d/kept.err" "volume objects on $key/kept.s0 .*are kept (--keep-partial)" ||
    return 1
  "$KORBR" list "$key/" >"$d/list.out"
  expect "list shows the kept set incomplete" \
    has "$d/list.out" "^$key/kept.s{stripe} .* incomplete$" || return 1
  expect "and nothing of the removed one" \
    listed "$key/" 'len(d["sets"]) == 1 and not d["sets"][0]["complete"] and
      d["sets"][0]["name"].startswith(d["where"] + "kept") and
      d["sets"][0]["faults"]'
}

# listed WHERE EXPR: korbr list --json WHERE succeeds and the Python
# expression EXPR holds of its document d.
listed() {
  "$KORBR" list --json "$1" >"$work/listed.json" &&
    python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' "$work/listed.json" "$2"
}

# restores_object_set URL FILE: the set at URL restores to FILE.
restores_object_set() {
  local out=$work/object.out
  "$KORBR" restore -q --device "$(dev "$1")" "$out" 2>"$work/object.err" &&
    cmp -s "$out" "$2" && rm -f "$out"
}

if [ -n "$store" ]; then
  if [ ! -f "$store/env" ]; then
    echo "set_test: no object store in $store (local_s3.py start failed?)"
    echo "0 passed, 1 failed"
    exit 1
  fi
  # shellcheck disable=SC1091
  source "$store/env"
  case_ "object storage: overlap refused, no silent replacement" object_storage_sets
  if [ -z "${KORBR_UNDER_EMULATOR:-}" ]; then
    case_ "object storage: failed backups remove their objects" \
      failed_object_backups_clean_up
  else
    echo "skip object storage backups ended by signals: signals under" \
         "$KORBR_UNDER_EMULATOR are not those of a kernel"
  fi
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

case_ "overlapping backups and a restore are refused" overlapping_runs_are_refused
# qemu-i386 (the 32-bit test run) mishandles a threaded program's signal
# handlers (see cli_test.sh), and these cases end backups with signals.
if [ -z "${KORBR_UNDER_EMULATOR:-}" ]; then
  case_ "backups ended at 22 points leave the old set" ended_backups_leave_the_old_set
  case_ "failed backups remove their volumes, a full disk too" failed_backups_clean_up
else
  echo "skip backups ended by signals: signals under" \
       "$KORBR_UNDER_EMULATOR are not those of a kernel"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
