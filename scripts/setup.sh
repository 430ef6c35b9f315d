#!/usr/bin/env bash
# Installs what the project needs (Debian 12, as root) and builds it.
#   scripts/setup.sh             -> build/            (RelWithDebInfo, gcc, with benchmarks)
#   scripts/setup.sh --sanitize  -> build-sanitize/   (clang, ASan + UBSan, with fuzz targets)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=plain
for arg in "$@"; do
  case "$arg" in
    --sanitize) mode=sanitize ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
  esac
done

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools qt6-l10n-tools qt6-tools-dev qt6-tools-dev-tools
  libqt6svg6 fonts-dejavu-core
  libplist-dev libimobiledevice-dev libusbmuxd-dev libsqlite3-dev sqlite3
  libimobiledevice-utils
  libssl-dev openssl libcurl4-openssl-dev libarchive-dev libjsoncpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-cryptography zip unzip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
if [[ $mode == plain ]]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCHATFERRY_BENCH=ON
  cmake --build build -j "$jobs"
else
  CC=clang CXX=clang++ cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCHATFERRY_SANITIZE=ON -DCHATFERRY_FUZZ=ON -DCHATFERRY_BENCH=OFF
  cmake --build build-sanitize -j "$jobs"
fi
