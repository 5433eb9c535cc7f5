#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the benchmarks need,
# and clang with its runtime libraries for the libFuzzer build (g++ stays the
# compiler of every other build).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev
  libjpeg62-turbo-dev
  xvfb xauth libgl1-mesa-dri libglx-mesa0 fonts-dejavu-core
  clang libclang-rt-14-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
