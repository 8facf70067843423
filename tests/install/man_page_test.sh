#!/usr/bin/env bash
# Holds korbr(1) to what the program says about itself:
#   bash tests/install/man_page_test.sh PATH/TO/korbr PATH/TO/korbr.1
#
# Every command that 'korbr --help' lists, and every vtape subcommand that
# 'korbr vtape --help' lists, must be an entry (a .TP tag) of the page;
# every option, long or short, that 'korbr COMMAND --help' (and 'korbr
# vtape SUBCOMMAND --help') shows must appear in the page; and every long
# option the page names must be shown by some --help; and each command's
# SYNOPSIS entry must name exactly the options its --help lists.  So a new
# command or option cannot ship undocumented, nor a removed one stay in the
# page.
set -euo pipefail

korbr=${1:?usage: man_page_test.sh PATH/TO/korbr PATH/TO/korbr.1}
page=${2:?usage: man_page_test.sh PATH/TO/korbr PATH/TO/korbr.1}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The page as plain words: roff's '\-' is '-', font changes and quotes go.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\(aq//g' -e 's/"//g' \
         "$page")
# The first word of every .TP entry's tag line.
tags=$(awk '/^\.TP/ { tag = 1; next }
            tag { tag = 0; sub(/^\.[A-Z]+ +/, ""); print }' <<<"$text" |
       awk '{ print $1 }')

help_of() {  # ARGS...: prints 'korbr ARGS --help'; fails when it does
  "$korbr" "$@" --help 2>&1
}

# Options in a help text: "--name" anywhere, "-x" where options are listed.
options_in() {
  {
    grep -oE -- '(^|[^[:alnum:]-])--[[:alpha:]][[:alnum:]-]*' <<<"$1" |
      sed -E 's/^[^-]+//'
    grep -oE -- '^ +-[[:alpha:]],' <<<"$1" | tr -d ' ,'
  } | sort -u
}

has_token() {  # TOKEN TEXT
  grep -qE -- "(^|[^[:alnum:]-])$1([^[:alnum:]-]|$)" <<<"$2"
}

main_help=$(help_of) || fail "'korbr --help' failed"
commands=$(awk '/^Commands:/ { on = 1; next }
                on && NF == 0 { exit }
                on { print $1 }' <<<"$main_help")
[ -n "$commands" ] || fail "'korbr --help' lists no commands"

all_help=$main_help
check_command() {  # LABEL HELP
  local option
  all_help+=$'\n'$2
  for option in $(options_in "$2"); do
    has_token "$option" "$text" ||
      fail "korbr.1 does not document $option (shown by 'korbr $1 --help')"
  done
}

for command in $commands; do
  grep -qxF -- "$command" <<<"$tags" ||
    fail "korbr.1 has no entry for the command '$command'"
  help=$(help_of "$command") || fail "'korbr $command --help' failed"
  check_command "$command" "$help"
  if [ "$command" = vtape ]; then
    subs=$(awk '$1 == "korbr" && $2 == "vtape" { print $3 }' <<<"$help")
    [ -n "$subs" ] || fail "'korbr vtape --help' lists no subcommands"
    for sub in $subs; do
      grep -qxF -- "$sub" <<<"$tags" ||
        fail "korbr.1 has no entry for 'korbr vtape $sub'"
      help=$(help_of vtape "$sub") || fail "'korbr vtape $sub --help' failed"
      check_command "vtape $sub" "$help"
    done
  fi
done

# The other way round: no option in the page that the program lacks.
for option in $(grep -oE -- '(^|[^[:alnum:]-])--[[:alpha:]][[:alnum:]-]*' <<<"$text" |
                sed -E 's/^[^-]+//' | sort -u); do
  has_token "$option" "$all_help" ||
    fail "korbr.1 documents $option, which no 'korbr ... --help' shows"
done

# The SYNOPSIS: each command's (and each vtape subcommand's) ".SY" entry
# names exactly the long options its --help lists (in its usage line and
# option list), --help aside.
synopsis=$(awk '/^\.SH SYNOPSIS/ { on = 1; next } /^\.SH/ { on = 0 } on' <<<"$text")
listed_options() {  # HELP: the long options of the usage line and list
  grep -E -- '^(Usage:| +-)' <<<"$1" |
    grep -oE -- '--[[:alpha:]][[:alnum:]-]*' | grep -vx -- '--help' | sort -u
}
synopsis_options() {  # "korbr COMMAND ...": the long options of its entry
  awk -v name="$1" '/^\.SY/ { sub(/^\.SY +/, ""); on = ($0 == name); next }
                    /^\.YS/ { on = 0 } on' <<<"$synopsis" |
    grep -oE -- '--[[:alpha:]][[:alnum:]-]*' | grep -vx -- '--help' | sort -u
}
check_synopsis() {  # "korbr COMMAND ..." ARGS...
  local name=$1 help
  shift
  grep -qxE -- "\.SY +$name" <<<"$synopsis" ||
    { fail "korbr.1's SYNOPSIS has no entry for '$name'"; return; }
  help=$(help_of "$@") || return
  local missing extra
  missing=$(comm -23 <(listed_options "$help") <(synopsis_options "$name"))
  extra=$(comm -13 <(listed_options "$help") <(synopsis_options "$name"))
  [ -z "$missing" ] ||
    fail "korbr.1's SYNOPSIS of '$name' lacks" $missing "(shown by its --help)"
  [ -z "$extra" ] ||
    fail "korbr.1's SYNOPSIS of '$name' names" $extra "(not in its --help)"
}
for command in $commands; do
  if [ "$command" = vtape ]; then
    for sub in $subs; do check_synopsis "korbr vtape $sub" vtape "$sub"; done
  else
    check_synopsis "korbr $command" "$command"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures difference(s) between korbr.1 and korbr's --help"
  exit 1
fi
echo "korbr.1 documents every command and option of korbr's --help"
