#!/usr/bin/env bash
# End-to-end tests of what korbr shows about backups and runs: korbr list
# (table and JSON), labels of a whole set, --version, the progress and
# closing lines under a terminal, and the --json report of a run.
#   bash tests/cli/watch_test.sh PATH/TO/korbr
#
# Terminals come from script(1) (util-linux); JSON is read with python3's
# json module.  Expected values are taken from the files the test made
# (sizes, counts), never written in.  No case depends on timing.  The last
# line says "N passed, M failed"; the exit status is 0 only when none
# failed.
set -euo pipefail

KORBR=${1:?usage: watch_test.sh PATH/TO/korbr}
KORBR=$(cd "$(dirname "$KORBR")" && pwd)/$(basename "$KORBR")
work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-watch-test.XXXXXX")
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
unset KORDBG KORIOPROF

passed=0
failed=0
source "$(dirname "$0")/harness.sh"
rc=0


# on_terminal OUT COMMAND: COMMAND (a shell line) with a terminal on every
# standard stream; all it wrote goes to OUT, $rc is its exit.
on_terminal() {
  local out=$1
  set +e
  script -qec "$2" /dev/null >"$out" </dev/null
  rc=$?
  set -e
}


size_of() { stat -c %s "$1"; }


dev() { echo "devname=$1/$2{stripe};dbtype=ZDBn;capacity=256"; }

# ---------------------------------------------------------------- cases

# A complete set over two stripes, a compressed one, one whose trailer
# volume was removed, and an empty directory; the JSON checked against the
# files themselves.
list_of_sets() {
  local d=$1
  mkdir "$d/bk" "$d/empty"
  head -c 1200000 /dev/urandom >"$d/in"
  head -c 900000 /dev/zero >"$d/zeros"
  run "$d/b1.out" "$d/b1.err" backup --device "$(dev "$d/bk" whole.s)" \
    --stripes 2 "$d/in"
  expect "backup of the whole set exit 0" [ "$rc" -eq 0 ] || return 1
  run "$d/b2.out" "$d/b2.err" backup --device "$(dev "$d/bk" packed.s)" \
    --compress zstd "$d/zeros"
  expect "compressed backup exit 0" [ "$rc" -eq 0 ] || return 1
  run "$d/b3.out" "$d/b3.err" backup --device "$(dev "$d/bk" cut.s)" "$d/in"
  expect "third backup exit 0" [ "$rc" -eq 0 ] || return 1
  local last
  last=$d/bk/cut.s0.$(ls "$d"/bk/cut.s0.* | sed 's/.*\.//' | sort -n | tail -1)
  expect "the cut set spans volumes" [ "$last" != "$d/bk/cut.s0.1" ] || return 1
  rm "$last"
  echo "not a volume" >"$d/bk/notes.1"

  run "$d/l.out" "$d/l.err" list "$d/bk"
  expect "list exit 0 (got $rc)" [ "$rc" -eq 0 ] || return 1
  expect "the complete set is named as --device gives it" \
    grep -q "^$d/bk/whole.s{stripe} .* complete$" "$d/l.out" || return 1
  expect "the cut set is incomplete, saying which volume is missing" \
    grep -q "^$d/bk/cut.s0: incomplete: .*volume ${last##*.} is missing" \
    "$d/l.out" || return 1
  expect "the file that is no volume is mentioned" \
    has "$d/l.err" "ignored $d/bk/notes.1" || return 1

  run "$d/j.out" "$d/j.err" list --json "$d/bk"
  expect "list --json exit 0" [ "$rc" -eq 0 ] || return 1
  run "$d/v.out" "$d/v.err" --version
  local writes
  writes=$(sed -n 's/^stream format: writes \([0-9]*\),.*/\1/p' "$d/v.out")
  python3 - "$d" "$(size_of "$d/in")" "$(size_of "$d/zeros")" "$writes" \
    "$d/j.out" <<'EOF'
import glob, json, os, sys
d, in_size, zeros_size, writes, path = sys.argv[1:]
doc = json.load(open(path))
sets = {s["name"]: s for s in doc["sets"]}
assert sorted(sets) == sorted([d + "/bk/whole.s{stripe}", d + "/bk/packed.s0",
                               d + "/bk/cut.s0"]), sorted(sets)
def files(prefix):
    return sorted(glob.glob(prefix + ".*"))
whole = sets[d + "/bk/whole.s{stripe}"]
assert whole["complete"] and whole["faults"] == [], whole
assert whole["input_bytes"] == int(in_size), whole
assert whole["stripes"] == 2
assert whole["volumes_per_stripe"] == [len(files(d + "/bk/whole.s0")),
                                       len(files(d + "/bk/whole.s1"))], whole
assert whole["stored_bytes"] == sum(
    os.path.getsize(f) for f in glob.glob(d + "/bk/whole.s*")), whole
assert whole["format"] == int(writes), (whole, writes)
assert whole["compression"] == "none" and whole["encryption"] == "none"
packed = sets[d + "/bk/packed.s0"]
assert packed["complete"] and packed["compression"] == "zstd", packed
assert packed["input_bytes"] == int(zeros_size), packed
assert packed["stored_bytes"] < int(zeros_size), packed
cut = sets[d + "/bk/cut.s0"]
assert not cut["complete"] and cut["input_bytes"] is None, cut
assert len(cut["faults"]) == 1, cut
assert doc["ignored"][0].startswith(d + "/bk/notes.1:"), doc["ignored"]
EOF

  run "$d/e.out" "$d/e.err" list --json "$d/empty"
  expect "list of an empty directory exit 0" [ "$rc" -eq 0 ] || return 1
  python3 -c 'import json,sys; assert json.load(open(sys.argv[1]))["sets"] == []' \
    "$d/e.out"
  run "$d/e2.out" "$d/e2.err" list "$d/empty"
  expect "an empty directory says so" has "$d/e2.out" "no backup sets"
}

# labels of a set: a middle volume names its backup through its stripe's
# first volume; alone it says it cannot.
labels_of_a_set() {
  local d=$1
  head -c 900000 /dev/urandom >"$d/in"
  run "$d/b.out" "$d/b.err" backup --device "$(dev "$d" s)" --stripes 2 "$d/in"
  expect "backup exit 0" [ "$rc" -eq 0 ] || return 1
  local id
  id=$(sed -n 's/^stream header .*backup \([0-9a-f]*\),.*/\1/p' \
    <("$KORBR" labels "$d/s1.1"))
  expect "the first volume names the backup" [ -n "$id" ] || return 1
  run "$d/one.out" "$d/one.err" labels "$d/s1.2"
  expect "labels of a middle volume exit 0" [ "$rc" -eq 0 ] || return 1
  expect "alone, a middle volume cannot name its backup" \
    has "$d/one.out" "^backup  *id unknown (no stream header in this volume), stripe 1, volume 2" || return 1
  run "$d/set.out" "$d/set.err" labels "$d/s{stripe}"
  expect "labels of the set exit 0" [ "$rc" -eq 0 ] || return 1
  local volumes
  volumes=$(ls "$d"/s[01].* | wc -l)
  expect "every volume of the set is shown with its backup" \
    [ "$(grep -c "^backup  *$id, stripe [01] of 2, volume " "$d/set.out")" \
      -eq "$volumes" ] || return 1
  expect "a middle volume is named through its stripe's first" \
    has "$d/set.out" "^backup  *$id, stripe 1 of 2, volume 2 (from the stripe's first volume)"
}

# The progress line under a terminal: a percentage for a file, whose size
# is known, none (and no harm) for a pipe; the closing line counts the
# volume files there are.
progress_and_closing_line() {
  local d=$1
  head -c 1500000 /dev/urandom >"$d/in"
  on_terminal "$d/file.tty" \
    "'$KORBR' backup --device '$(dev "$d" f)' --stripes 2 '$d/in'"
  expect "backup under a terminal exit 0 (got $rc)" [ "$rc" -eq 0 ] || return 1
  expect "a progress line with a percentage" \
    grep -Eq "MiB/s  [0-9]+%.* volume" "$d/file.tty" || return 1
  local volumes
  volumes=$(ls "$d"/f[01].* | wc -l)
  expect "a closing line with the data, stored bytes, volumes and rate" \
    grep -Eq "backup: $(size_of "$d/in") bytes of data, [0-9]+ stored \([0-9.]+:1\), $volumes volumes, [0-9.]+ s, [0-9.]+ MiB/s" \
    "$d/file.tty" || return 1

  on_terminal "$d/pipe.tty" \
    "cat '$d/in' | '$KORBR' backup --device '$(dev "$d" p)' -"
  expect "backup from a pipe under a terminal exit 0" [ "$rc" -eq 0 ] || return 1
  expect "a progress line for a pipe" has "$d/pipe.tty" "MiB/s" || return 1
  expect "no percentage for a pipe" lacks "$d/pipe.tty" "%" || return 1

  on_terminal "$d/verify.tty" "'$KORBR' verify --device '$(dev "$d" f)'"
  expect "verify exit 0" [ "$rc" -eq 0 ] || return 1
  expect "verify shows a percentage from the recorded length" \
    grep -Eq "MiB/s  [0-9]+%" "$d/verify.tty" || return 1

  on_terminal "$d/quiet.tty" \
    "'$KORBR' verify --quiet --progress --device '$(dev "$d" f)'"
  expect "--quiet wins over --progress" lacks "$d/quiet.tty" "MiB/s" || return 1
  run "$d/forced.out" "$d/forced.err" verify --progress --device "$(dev "$d" f)"
  expect "--progress shows the line off a terminal" \
    has "$d/forced.err" "MiB/s" || return 1

  : | "$KORBR" backup --device "$(dev "$d" e)" - 2>"$d/empty.err"
  expect "an empty pipe warns of its producer" \
    has "$d/empty.err" "warning: the input was empty.*set -o pipefail"
}

# --json FILE: the totals of a run, and the error of a failed one.
json_report() {
  local d=$1
  head -c 600000 /dev/urandom >"$d/in"
  run "$d/b.out" "$d/b.err" backup --device "$(dev "$d" s)" \
    --json "$d/ok.json" "$d/in"
  expect "backup exit 0" [ "$rc" -eq 0 ] || return 1
  run "$d/r.out" "$d/r.err" restore --device "$(dev "$d" x)" \
    --json "$d/fail.json" "$d/out"
  expect "restore of nothing fails" [ "$rc" -eq 1 ] || return 1
  local first_error
  first_error=$(sed -n '1s/^korbr: restore: //p' "$d/r.err")
  python3 - "$(size_of "$d/in")" "$(ls "$d"/s0.* | wc -l)" "$first_error" \
    "$d/ok.json" "$d/fail.json" <<'EOF'
import json, sys
in_size, volumes, first_error, ok_path, fail_path = sys.argv[1:]
ok = json.load(open(ok_path))
assert ok["ok"] and ok["error"] is None, ok
assert ok["command"] == "backup" and ok["data_bytes"] == int(in_size), ok
assert ok["volumes"] == int(volumes) and ok["stored_bytes"] > ok["data_bytes"], ok
fail = json.load(open(fail_path))
assert not fail["ok"] and fail["command"] == "restore", fail
assert first_error and fail["error"] == first_error, (fail, first_error)
EOF
  expect "no temporary report is left" \
    [ "$(ls "$d" | grep -c 'json\.')" -eq 0 ]
}

case_ "list: complete, compressed, cut and empty, table and JSON" list_of_sets
case_ "labels of a set name each volume's backup" labels_of_a_set
case_ "progress and closing line under a terminal" progress_and_closing_line
case_ "--json FILE on success and failure" json_report

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
