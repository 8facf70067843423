#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for SECONDS (default 60),
# starting from its committed seed corpus in fuzz/corpus/<target>.
#
#   scripts/run_fuzz.sh [SECONDS]
#
# A crash, a sanitizer report, a leak, an input that runs longer than 30 s,
# or a finding of the target's own checks fails the script; the input that
# did it is left in build-fuzz/artifacts/ (make it a regression test, then
# fix the fault).  Inputs the run finds new are kept in build-fuzz/corpus/,
# never added to the committed seeds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
# The fuzzer runtime comes with clang's sanitizer runtimes.
bash "$root/scripts/setup.sh" clang libclang-rt-14-dev

build="$root/build-fuzz"
targets=(devstring_fuzzer volume_fuzzer tape_image_fuzzer)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKORBR_FUZZ=ON -DKORBR_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" "${targets[@]}"

mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  log="$build/$target.log"
  mkdir -p "$work"
  echo "== fuzz $target for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz: $target found a problem (log: $log):"
    tail -n 60 "$log"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^Done ' "$log" || true
done
exit "$status"
