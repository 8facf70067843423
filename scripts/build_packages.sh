#!/usr/bin/env bash
# Builds the Debian packages libkorbr1, libkorbr-dev and korbr with CPack
# (cmake/KorbrPackaging.cmake) and checks them with lintian:
#
#   scripts/build_packages.sh [BUILD-DIRECTORY]
#
# The build directory (default build-package/) is a Release build of the
# library and korbr alone, without the tests, installed to /usr, with
# Debian's hardening flags (dpkg-buildflags).  The packages land in
# BUILD-DIRECTORY/packages/; their paths are the last lines printed.
# Installs what it needs (scripts/setup.sh).  Exit status 0 only when the
# packages were built and lintian reports no errors on them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-package}
bash "$root/scripts/setup.sh"

# Debian's compiler and linker flags (fortify, stack protector, relro,
# now); CMake reads CFLAGS, CXXFLAGS and LDFLAGS but not CPPFLAGS.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

echo "== packages: build $dir"
cmake -S "$root" -B "$dir" -G Ninja \
      -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX=/usr \
      -DKORBR_BUILD_TESTS=OFF \
      -DKORBR_DEBIAN_PACKAGES=ON >/dev/null
ninja -C "$dir" ${KORBR_BUILD_JOBS:+-j"$KORBR_BUILD_JOBS"}

rm -rf "$dir/packages"
(cd "$dir" && cpack -G DEB >/dev/null)
mapfile -t debs < <(find "$dir/packages" -maxdepth 1 -name '*.deb' | sort)
if [ "${#debs[@]}" -ne 3 ]; then
  echo "build_packages: expected 3 packages, CPack made ${#debs[@]}" >&2
  exit 1
fi

echo "== packages: lintian"
lintian --fail-on error "${debs[@]}"
printf '%s\n' "${debs[@]}"
