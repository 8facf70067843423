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
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  # A package installed for two architectures needs the qualified name.
  dpkg -s "$p" >/dev/null 2>&1 ||
    dpkg -s "$p:$(dpkg --print-architecture)" >/dev/null 2>&1 ||
    missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
