#!/usr/bin/env bash
# Installs what building and testing libkorbr needs on a fresh Debian
# machine (run as root).  Packages already present are not fetched again.
set -euo pipefail

packages=(cmake ninja-build g++ gcc libgtest-dev binutils coreutils simh)
# Installing and packaging (tests/install, scripts/build_packages.sh):
# pkg-config, CPack's DEB generator (dpkg-shlibdeps, file), lintian, man.
packages+=(pkg-config dpkg-dev file lintian man-db groff-base)
# korbr's hashing, frame checksums and compression (libcrypto, libxxhash,
# libzstd); its client tests run PostgreSQL and GNU tar as the postgres
# user (runuser).
packages+=(libssl-dev libxxhash-dev libzstd-dev postgresql tar util-linux)
# The libraries the core links (object storage): one list, so that a build
# for another architecture can add the same names with its suffix (:i386).
library_packages=(libcurl4-openssl-dev libxml2-dev libssl-dev)
packages+=("${library_packages[@]}")
# The object-storage tests run a local S3 store (OpenStack Swift) and use
# the curl command line and rclone (another S3 client) beside the library.
packages+=(python3-swift curl rclone)
packages+=("$@")
missing=()
native=$(dpkg --print-architecture)
for p in "${packages[@]}"; do
  # A library installed for two architectures must be named with the
  # native one (dpkg -s refuses the ambiguous plain name).
  dpkg -s "$p" >/dev/null 2>&1 || dpkg -s "$p:$native" >/dev/null 2>&1 ||
    missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
