#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the fuzz targets need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-14 libclang-rt-14-dev ccache pkg-config python3
  libssl-dev zlib1g-dev libcurl4-openssl-dev libtinyxml2-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  microsocks tinyproxy nginx aria2 curl time python3-pyftpdlib opentracker
  libminiupnpc-dev miniupnpd-nftables nftables tcpdump
  qt6-base-dev qt6-l10n-tools qt6-translations-l10n fonts-noto-cjk xvfb xauth trayer xdotool
  libjsoncpp-dev libsqlite3-dev libpq-dev postgresql iproute2
  dpkg-dev fakeroot lintian
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
