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
# first such include in the library's own sources (tests, which drive the
# stack from outside, are not checked).
#
# korbr (src/cli/) is a client of the library and has rooms of its own:
#
#   commands > setlife > pipeline > session > format > options > objects;
#   commands > vtape
#
# commands/ may include every room, setlife/ (a backup set's lock and
# staging) those below it but pipeline/, which it never needs, pipeline/
# the four below it, and so on down to options/, which includes only
# objects/, and objects/, which includes no room.  objects/ asks a store
# whether an object exists, lists, reads and removes volume objects, and
# asks why it refused one, through the library's S3 client (built apart,
# like vtape/, with the core's own sources): at the bottom, every room
# that talks to a store reaches it through this one.  vtape/ stands apart:
# only commands/ includes it, it includes only format/ and options/.
# objects/ and vtape/ are the two rooms that may include the library's
# internals.  The other rooms reach the library through korbr/ (the public
# header) and the header-only rules it shares with its hosts (rules/,
# os/file_mode.h), so that a change inside the library never reaches them.
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

# The rooms each CLI room may include besides its own.
cli_allowed() {
  case $1 in
    commands) echo "setlife pipeline session format options objects vtape" ;;
    setlife) echo "session format options objects" ;;
    pipeline) echo "session format options objects" ;;
    session) echo "format options objects" ;;
    format) echo "options objects" ;;
    options) echo "objects" ;;
    objects) echo "" ;;
    vtape) echo "format options" ;;
    *) echo "?" ;;
  esac
}

cli_checked=0
while IFS= read -r file; do
  room=${file#"$src"/cli/}
  room=${room%%/*}
  allowed=$(cli_allowed "$room")
  if [ "$allowed" = "?" ]; then
    echo "layering: $file is in no room of src/cli/"
    status=1
    continue
  fi
  cli_checked=$((cli_checked + 1))
  while IFS= read -r path; do
    top=${path%%/*}
    if [ "$top" = cli ]; then
      target=${path#cli/}
      target=${target%%/*}
      [ "$target" = "$room" ] && continue
      case " $allowed " in
        *" $target "*) ;;
        *) echo "layering: $file includes cli/$target/ (not open to $room/)"
           status=1 ;;
      esac
    elif [ "$top" = korbr ] || [ "$top" = rules ] ||
         [ "$path" = os/file_mode.h ]; then
      :
    elif [ "$(rank "$top")" -ge 0 ] && [ "$room" != vtape ] &&
         [ "$room" != objects ]; then
      echo "layering: $file includes $path (only vtape/ and objects/ reach the library's internals)"
      status=1
    fi
  done < <(sed -n 's|^#include "\([a-z_]*/[a-z_/]*\.h\)".*|\1|p' "$file")
done < <(find "$src/cli" -mindepth 1 \( -name '*.cc' -o -name '*.h' \) \
           ! -name '*_test.cc' | sort)

if [ "$cli_checked" -lt 20 ]; then
  echo "layering: only $cli_checked files found under $src/cli"
  exit 1
fi

if [ "$checked" -lt 20 ]; then
  echo "layering: only $checked files found under $src"
  exit 1
fi
[ "$status" -eq 0 ] && echo "layering: $checked files, every include goes down the stack; $cli_checked files of korbr, each in its room"
exit "$status"
