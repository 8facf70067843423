#!/usr/bin/env bash
# Runs a cross-built Windows program under wine: the emulator that ctest
# puts in front of every test program of a mingw-w64 build.
#
#   tests/windows/wine_run.sh PROGRAM.exe [ARGS...]
#
# The program's own exit status is passed on.  WINEPREFIX defaults to a
# prefix of this user's under the temporary directory (made on first use);
# scripts/run_windows_tests.sh prepares it beforehand.  A 32-bit program
# goes to the wine loader that runs 32-bit code, a 64-bit one to wine64.
set -euo pipefail
program=$1
shift
export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/korbr-wineprefix-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers when a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# The machine field of the PE header: 0x8664 for x86-64, 0x014c for x86.
pe_offset=$(od -An -t u4 -j 60 -N 4 "$program" | tr -d ' ')
machine=$(od -An -t x2 -j $((pe_offset + 4)) -N 2 "$program" | tr -d ' ')
if [ "$machine" = 8664 ]; then
  if [ -x /usr/lib/wine/wine64 ]; then
    loader=/usr/lib/wine/wine64
    export WINELOADER=$loader
  else
    loader=wine64
  fi
else
  loader=wine
fi
exec "$loader" "$program" "$@"
