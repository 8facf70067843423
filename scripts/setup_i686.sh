#!/usr/bin/env bash
# Installs what the 32-bit Linux build (cmake/linux-i686.cmake) and its
# tests under qemu-i386 need on a fresh Debian x86-64 machine (run as root),
# on top of scripts/setup.sh.  Packages already present are not fetched
# again.  Exits non-zero, saying what is missing, when something cannot be
# had: the 32-bit tests are then failed, never skipped.
set -euo pipefail

# Packages of this machine's own architecture.
packages=(
  gcc-multilib   # gcc -m32 and the 32-bit C library
  g++-multilib   # g++ -m32 and the 32-bit C++ library
  googletest     # GoogleTest's sources, built for i686 with the tests
  qemu-user      # qemu-i386, which runs the 32-bit programs
)
# Libraries the 32-bit build links, as Debian's i386 multiarch packages,
# one a line (libssl-dev:i386, libzstd-dev:i386, ...).  They install beside
# the x86-64 ones; the first makes dpkg take the i386 architecture.
i386_packages=(
  libssl-dev:i386      # libcrypto: hashes in korbr and the library
  libxxhash-dev:i386   # korbr's frame checksums
  libzstd-dev:i386     # korbr --compress
  libcurl4-openssl-dev:i386  # the library's object storage (HTTP)
  libxml2-dev:i386     # the library's object storage (replies)
)

export DEBIAN_FRONTEND=noninteractive
update_needed=0
if [ "${#i386_packages[@]}" -gt 0 ] &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup_i686: adding the i386 architecture for ${i386_packages[*]}"
  dpkg --add-architecture i386
  update_needed=1
fi
missing=()
for p in "${packages[@]}" "${i386_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup_i686: installing ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
elif [ "$update_needed" = 1 ]; then
  apt-get update -qq
fi

if ! command -v qemu-i386 >/dev/null 2>&1; then
  echo "setup_i686: qemu-i386 is not on PATH after the install" >&2
  exit 1
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <cstdio>\nint main() { std::puts("ok"); }\n' >"$probe/p.cc"
if ! g++ -m32 "$probe/p.cc" -o "$probe/p" >"$probe/log" 2>&1; then
  cat "$probe/log" >&2
  echo "setup_i686: g++ -m32 cannot build a program" >&2
  exit 1
fi
if [ "$(qemu-i386 -L / "$probe/p" 2>&1)" != ok ]; then
  echo "setup_i686: a 32-bit program does not run under qemu-i386 -L /" >&2
  exit 1
fi
echo "setup_i686: g++ -m32 $(g++ -dumpversion), $(qemu-i386 --version | head -n 1)"
