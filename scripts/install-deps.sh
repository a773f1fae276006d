#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks use.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev openssl libcjson-dev
  libgtest-dev libgmock-dev libbenchmark-dev libgcrypt20-dev
  iproute2 python3
  chromium
  clang libclang-rt-14-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
