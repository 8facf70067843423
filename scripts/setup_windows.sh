#!/usr/bin/env bash
# Installs what building korbr.dll and testing it under wine needs on a
# fresh Debian machine (run as root): the mingw-w64 cross compilers for
# 32-bit and 64-bit Windows, GoogleTest's sources (cross-built with the
# tests) and wine.  Packages already present are not fetched again.
#
#   scripts/setup_windows.sh [--wine32]
#
# 64-bit wine always; with --wine32 also 32-bit wine (wine32:i386), which
# needs the i386 architecture and a kernel that runs 32-bit x86 programs.
# It is installed after everything else, on its own, so that its failure
# cannot take the 64-bit tools with it.
#
# Exit status: 0 when everything is in place; 1 when the compilers, 64-bit
# wine or GoogleTest's sources are missing (the Windows tests cannot run:
# the caller fails); 3 when only 32-bit wine could not be installed (the
# 64-bit tests can run).  The last line printed says what is missing and why.
set -uo pipefail

packages=(cmake ninja-build googletest g++-mingw-w64-i686
          g++-mingw-w64-x86-64 wine wine64)
export DEBIAN_FRONTEND=noninteractive
updated=0

# install STATUS PACKAGE...: installs the packages that are missing, or
# exits with STATUS saying why not.
install() {
  local status=$1 missing=() p log
  shift
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "setup_windows: installing ${missing[*]}"
  if [ "$updated" = 0 ]; then
    if ! apt-get update -qq; then
      echo "setup_windows: apt-get update failed"
      exit "$status"
    fi
    updated=1
  fi
  # wine's recommendations (fonts, desktop integration) are not needed to
  # run console programs.
  log=$(mktemp "${TMPDIR:-/tmp}/korbr-setup-windows.XXXXXX")
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" \
       >"$log" 2>&1; then
    tail -n 20 "$log"
    echo "setup_windows: apt-get install ${missing[*]} failed (log: $log)"
    exit "$status"
  fi
  rm -f "$log"
}

install 1 "${packages[@]}"
for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix \
            i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "setup_windows: $tool is not on PATH after the install"
    exit 1
  fi
done
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "setup_windows: /usr/lib/wine/wine64 is missing after the install"
  exit 1
fi
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "setup_windows: GoogleTest's sources are not in /usr/src/googletest"
  exit 1
fi
echo "setup_windows: mingw-w64 gcc $(i686-w64-mingw32-gcc-posix -dumpversion)," \
     "$(/usr/lib/wine/wine64 --version)"

if [ "${1:-}" = --wine32 ]; then
  added_i386=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup_windows: adding the i386 architecture for 32-bit wine"
    if ! dpkg --add-architecture i386; then
      echo "setup_windows: dpkg --add-architecture i386 failed"
      exit 3
    fi
    added_i386=1
    updated=0  # the i386 package lists are not there yet
  fi
  # A failed 32-bit install must not leave an architecture behind whose
  # package lists cannot be had: every later apt-get update would fail.
  if ! (install 3 wine32:i386); then
    if [ "$added_i386" = 1 ] && ! dpkg -l | awk '$4 == "i386"' | grep -q .; then
      dpkg --remove-architecture i386 && apt-get update -qq || true
    fi
    echo "setup_windows: 32-bit wine (wine32:i386) could not be installed"
    exit 3
  fi
fi
