#!/usr/bin/env bash
# The library's folders form one stack, and each folder may include only
# the folders below it (and itself):
#
#   api > datapath > volume > device = devstring > label > core > diag > os
#     > rules
#
# rules/ holds what the library and korbr both obey (device-string keys,
# tape names, the virtual tape's state file, message numbers); korbr
# includes it too, so it includes nothing of ours at all.
#
# A header that climbs (diag including the stripe handle, say) makes the
# lower layer depend on everything above it again; this check fails on the
# first such include in the library's own sources (tests and the CLI, which
# drive the stack from outside, are not checked).
#
#   tests/layering/check_layers.sh SRC_DIR
set -euo pipefail
src=${1:?usage: check_layers.sh SRC_DIR}

rank() {
  case $1 in
    rules) echo 0 ;; os) echo 1 ;; diag) echo 2 ;; core) echo 3 ;;
    label) echo 4 ;; device | devstring) echo 5 ;; volume) echo 6 ;;
    datapath) echo 7 ;; api) echo 8 ;; *) echo -1 ;;
  esac
}

status=0
checked=0
while IFS= read -r file; do
  folder=${file#"$src"/}
  folder=${folder%%/*}
  own=$(rank "$folder")
  [ "$own" -ge 0 ] || continue
  checked=$((checked + 1))
  while IFS= read -r target; do
    if [ "$folder" = rules ] && [ "$target" != rules ]; then
      echo "layering: $file includes $target/ (rules/ includes nothing of ours)"
      status=1
      continue
    fi
    [ "$target" = "$folder" ] && continue
    their=$(rank "$target")
    [ "$their" -ge 0 ] || continue  # korbr/ (the public header) and the like
    if [ "$their" -ge "$own" ]; then
      echo "layering: $file includes $target/ (not below $folder/)"
      status=1
    fi
  done < <(sed -n 's|^#include "\([a-z_]*\)/.*|\1|p' "$file")
done < <(find "$src" \( -name '*.cc' -o -name '*.h' \) ! -name '*_test.cc' | sort)

if [ "$checked" -lt 20 ]; then
  echo "layering: only $checked files found under $src"
  exit 1
fi
[ "$status" -eq 0 ] && echo "layering: $checked files, every include goes down the stack"
exit "$status"
