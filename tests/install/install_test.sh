#!/usr/bin/env bash
# libkorbr and korbr as a system installs them:
#   bash tests/install/install_test.sh BUILD-DIRECTORY
#
#  1. cmake --install of BUILD-DIRECTORY (already built) into a temporary
#     DESTDIR: the files where GNUInstallDirs puts them, the SONAME and
#     version links, exactly the nine exports, korbr finding the installed
#     library (not the build tree), the man pages rendered without a groff
#     warning, the bash completion answering.
#  2. examples/example_host.c built against that install once with
#     pkg-config and once with a CMake project using find_package(korbr),
#     each run against the installed library: a backup and restore on three
#     stripes that must come back identical.
#  3. The Debian packages (scripts/build_packages.sh, lintian included)
#     installed with dpkg -i: korbr --help, a backup and a restore with the
#     installed korbr, example_host built with the system's pkg-config;
#     then removed with dpkg -r.  Needs root, and refuses to run when one
#     of the packages is installed already (it would remove it).
#
# Installs what it needs (scripts/setup.sh).  Exit status 0 only when all
# of it passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: install_test.sh BUILD-DIRECTORY}" && pwd)
packages=(korbr libkorbr-dev libkorbr1)
bash "$root/scripts/setup.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/korbr-install-test.XXXXXX")
packages_installed=0
cleanup() {
  if [ "$packages_installed" = 1 ]; then
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "== install: $* ($SECONDS s)"; }

# The library's version: project() in CMakeLists.txt is its only source.
version=$(sed -nE 's/^project\(korbr VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' \
            "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no version in project() of CMakeLists.txt"
major=${version%%.*}

stage=$work/stage
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")

# The NEEDED library LIBRARY of PROGRAM resolves to a file in DIRECTORY.
resolves_into() {  # PROGRAM LIBRARY DIRECTORY
  local path
  path=$(ldd "$1" | awk -v l="$2" '$1 == l { print $3 }')
  [ -n "$path" ] || fail "$1 does not find $2 ($(ldd "$1" | grep "$2"))"
  [ "$(readlink -f "$path")" = "$(readlink -f "$3/$2")" ] ||
    fail "$1 loads $2 from $path, not from $3"
}

# A backup and restore by example_host on three stripes, in a fresh
# directory under $work: it must report the stream identical.
run_example_host() {  # PROGRAM NAME
  local out
  out=$("$1" "$work/$2" 2 3 2>"$work/$2.err") ||
    fail "$2: example_host failed: $out $(cat "$work/$2.err")"
  grep -q "identical" <<<"$out" || fail "$2: example_host said: $out"
}

step "cmake --install $build into $stage"
DESTDIR=$stage cmake --install "$build" >"$work/install.log" ||
  { cat "$work/install.log"; fail "cmake --install failed"; }

# The directories GNUInstallDirs chose, from what was installed: each
# holds its files below the prefix, in the layout users link against.
installed() {  # SUFFIX: the one installed file whose path ends so
  local path
  path=$(grep -E -- "^$prefix(/.*)?$1\$" "$build/install_manifest.txt") ||
    fail "not installed below $prefix: $1"
  [ "$(wc -l <<<"$path")" = 1 ] && [ -f "$stage$path" ] ||
    fail "not installed below $prefix: $1"
  echo "$stage$path"
}
library=$(installed "/libkorbr\.so\.$version")
korbr=$(installed /bin/korbr)
header=$(installed /include/korbr/korbr\.h)
page=$(installed /man1/korbr\.1)
completion=$(installed /share/bash-completion/completions/korbr)
lib=${library%/*}
bin=${korbr%/*}
man=${page%/man1/korbr.1}
for file in "$lib/pkgconfig/korbr.pc" "$lib/cmake/korbr/korbrConfig.cmake" \
            "$lib/cmake/korbr/korbrConfigVersion.cmake" \
            "$man/man3/libkorbr.3"; do
  [ -f "$file" ] || fail "not installed: ${file#"$stage"}"
done
[ "$(readlink "$lib/libkorbr.so.$major")" = "libkorbr.so.$version" ] ||
  fail "libkorbr.so.$major does not link to libkorbr.so.$version"
[ "$(readlink "$lib/libkorbr.so")" = "libkorbr.so.$major" ] ||
  fail "the development link libkorbr.so does not point to libkorbr.so.$major"
soname=$(readelf -d "$lib/libkorbr.so.$version" |
         sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libkorbr.so.$major" ] ||
  fail "the SONAME is '$soname', not libkorbr.so.$major"
cmake -DLIBRARY="$lib/libkorbr.so.$version" \
      -P "$root/tests/abi/check_exports.cmake" >/dev/null ||
  fail "the installed library exports more or less than the nine functions"

step "korbr finds the installed library"
if readelf -d "$lib/libkorbr.so.$version" | grep -qE 'R(UN)?PATH'; then
  fail "libkorbr.so carries a run path"
fi
runpath=$(readelf -d "$bin/korbr" | sed -n 's/.*R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
case $runpath in
  "") export LD_LIBRARY_PATH=$lib ;;  # a system directory: ld.so's own
  '$ORIGIN/'*) ;;
  *) fail "korbr's run path '$runpath' is not relative to korbr" ;;
esac
resolves_into "$bin/korbr" "libkorbr.so.$major" "$lib"
"$bin/korbr" --help | grep -q '^Commands:' || fail "installed korbr --help"
unset LD_LIBRARY_PATH

step "man pages render without warnings"
for page in "$man/man1/korbr.1" "$man/man3/libkorbr.3"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 \
               >"$work/page.txt") || fail "man -l $page failed: $warnings"
  warnings+=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "${page##*/}: $warnings"
  grep -q '^NAME' "$work/page.txt" || fail "${page##*/} rendered empty"
  if grep -q '@[A-Z_]*@' "$page"; then
    fail "${page##*/} has unreplaced placeholders"
  fi
done

step "bash completion"
# The words up to the one completed | a reply that must be among the offers.
while IFS='|' read -r words expected; do
  replies=$(bash -c 'source "$1"; shift; COMP_WORDS=("$@")
                     COMP_CWORD=$(( $# - 1 )); _korbr
                     printf "%s\n" "${COMPREPLY[@]}"' _ \
              "$completion" $words)
  grep -qxF -- "$expected" <<<"$replies" ||
    fail "completing '$words' offered: $(echo $replies), not $expected"
done <<'EOF'
korbr re|restore
korbr backup --req|--request-size
korbr backup --device 'devname=/bk/s;db|devname=/bk/s;dbtype=
korbr restore -d dbtype=Z|dbtype=ZDBn
korbr backup --device dbtype = Z|ZDBn
korbr vtape create d --cart|--cartridges
korbr ver|verify
korbr backup --comp|--compress
korbr restore --wait|--wait-timeout
EOF

step "example_host built with pkg-config against the install"
export PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage
[ "$(pkg-config --modversion korbr)" = "$version" ] ||
  fail "pkg-config says version $(pkg-config --modversion korbr)"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/host-pkg-config" \
   "$root/examples/example_host.c" $(pkg-config --cflags --libs korbr)
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
# No run path in it: it finds the library through LD_LIBRARY_PATH.
LD_LIBRARY_PATH=$lib resolves_into "$work/host-pkg-config" \
  "libkorbr.so.$major" "$lib"
LD_LIBRARY_PATH=$lib run_example_host "$work/host-pkg-config" pkg-config

step "example_host built with find_package(korbr) against the install"
mkdir -p "$work/cmake-host"
cat >"$work/cmake-host/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(korbr_host C)
find_package(korbr $version REQUIRED)
add_executable(example_host "$root/examples/example_host.c")
target_link_libraries(example_host PRIVATE korbr::korbr)
EOF
cmake -S "$work/cmake-host" -B "$work/cmake-host/build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$stage$prefix" >"$work/cmake-host.log" 2>&1 &&
  ninja -C "$work/cmake-host/build" >>"$work/cmake-host.log" 2>&1 ||
  { cat "$work/cmake-host.log"; fail "the find_package(korbr) project"; }
# CMake gives the program a run path to the library it linked.
resolves_into "$work/cmake-host/build/example_host" "libkorbr.so.$major" "$lib"
run_example_host "$work/cmake-host/build/example_host" find-package

step "Debian packages"
# The state of a package: "installed", "config-files", "not-installed"...
package_status() {
  dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || echo not-installed
}
for package in "${packages[@]}"; do
  case $(package_status "$package") in
    not-installed | config-files) ;;
    *) fail "$package is installed on this machine; this test would remove it" ;;
  esac
done
[ "$(id -u)" = 0 ] || fail "dpkg -i needs root"
bash "$root/scripts/build_packages.sh" "$root/build-package" >"$work/packages.log" 2>&1 ||
  { cat "$work/packages.log"; fail "scripts/build_packages.sh"; }
grep -E '^[EW]: ' "$work/packages.log" || true
mapfile -t debs < <(find "$root/build-package/packages" -maxdepth 1 \
                         -name '*.deb' | sort)
[ "${#debs[@]}" = 3 ] || fail "expected 3 packages, found: ${debs[*]}"

step "dpkg -i ${debs[*]##*/}"
packages_installed=1
dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -i"; }
[ "$(command -v korbr)" = /usr/bin/korbr ] ||
  fail "korbr on PATH is $(command -v korbr), not /usr/bin/korbr"
if readelf -d /usr/bin/korbr | grep -qE 'R(UN)?PATH'; then
  fail "the packaged korbr carries a run path"
fi
system_lib=$(dpkg -L libkorbr1 | grep "/libkorbr.so.$major\$")
resolves_into /usr/bin/korbr "libkorbr.so.$major" "${system_lib%/*}"
korbr --help | grep -q '^Commands:' || fail "korbr --help"

# 3 MiB over two stripes of 256 KB volumes: each stripe spans volumes.
mkdir -p "$work/deb"
head -c $((3 * 1024 * 1024)) /dev/urandom >"$work/deb/input"
device="devname=$work/deb/s{stripe};dbtype=ZDBn;capacity=256"
korbr backup --quiet --stripes 2 --device "$device" "$work/deb/input" ||
  fail "backup with the installed korbr"
[ -f "$work/deb/s1.3" ] || fail "the backup did not span volumes"
korbr restore --quiet --device "$device" "$work/deb/output" ||
  fail "restore with the installed korbr"
cmp "$work/deb/input" "$work/deb/output" || fail "the restore differs"

# shellcheck disable=SC2046
cc -std=c11 -o "$work/host-system" "$root/examples/example_host.c" \
   $(pkg-config --cflags --libs korbr)
resolves_into "$work/host-system" "libkorbr.so.$major" "${system_lib%/*}"
run_example_host "$work/host-system" system

step "dpkg -r ${packages[*]}"
dpkg -r "${packages[@]}" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -r"; }
for package in "${packages[@]}"; do
  case $(package_status "$package") in
    not-installed | config-files) ;;
    *) fail "$package is $(package_status "$package") after dpkg -r" ;;
  esac
done
[ ! -e /usr/bin/korbr ] && [ ! -e "$system_lib" ] ||
  fail "dpkg -r left korbr or the library behind"
# libkorbr1's postrm keeps it known to dpkg until purged.
dpkg --purge "${packages[@]}" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg --purge"; }
packages_installed=0
echo "install: all passed"
