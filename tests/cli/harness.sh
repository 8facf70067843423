# The case harness the korbr end-to-end scripts share.  Sourced after the
# script has set KORBR, work (a scratch directory), passed=0 and failed=0,
# under `set -euo pipefail`.

# run OUT ERR ARGS...: runs korbr with stdout and stderr to files, keeps
# its exit code in $rc.
run() {
  local out=$1 err=$2
  shift 2
  set +e
  "$KORBR" "$@" >"$out" 2>"$err"
  rc=$?
  set -e
}

# run_ok OUT ERR ARGS...: a korbr command that a case needs as its set-up;
# the case fails when it does not exit 0.
run_ok() {
  run "$@"
  if [ "$rc" -ne 0 ]; then
    echo "    set-up failed (exit $rc): korbr ${*:3}" >&2
    return 1
  fi
}

# expect CONDITION-DESCRIPTION COMMAND...: one assertion inside a case.
expect() {
  local what=$1
  shift
  if ! "$@"; then
    echo "    expected: $what" >&2
    return 1
  fi
}

has() { grep -q -- "$2" "$1"; }
lacks() { ! grep -q -- "$2" "$1"; }

# case NAME FUNCTION: runs one case in a directory of its own, in a
# subshell where any command that fails unchecked ends the case as failed
# (errexit would be ignored if the subshell stood in an || list).  A failed
# case shows what its *.err files hold and the script goes on.
case_() {
  local name=$1 fn=$2 status
  local dir="$work/$fn"
  mkdir -p "$dir"
  set +e
  (
    set -eE
    trap 'echo "    stopped at line $LINENO: $BASH_COMMAND" >&2' ERR
    cd "$dir"
    "$fn" "$dir"
  ) 2>"$dir/case.err"
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    local f
    for f in "$dir"/*.err; do
      if [ -s "$f" ]; then sed 's/^/    | /' "$f" | head -20; fi
    done
  fi
}
