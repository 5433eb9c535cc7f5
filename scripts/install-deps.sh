#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the benchmarks need,
# and clang with its runtime libraries for the libFuzzer build (g++ stays the
# compiler of every other build); then the npm packages of web/ at the
# versions its package-lock.json pins: OpenSeadragon, which the programs build
# into the zoomable view, and playwright-core, which drives Chromium in the
# zoomable view's test.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev
  libjpeg62-turbo-dev libvips-dev
  xvfb xauth libgl1-mesa-dri libglx-mesa0 fonts-dejavu-core
  chromium
  clang libclang-rt-14-dev clang-format
)
# Node.js from wherever it came; Debian's when there is none.
command -v node >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# npm ci starts afresh each time, so it runs only when the lock file changed
# since the last install, which leaves a copy of it behind.
installed=web/node_modules/.installed-package-lock.json
if ! cmp -s web/package-lock.json "$installed"; then
  (cd web && npm ci --no-audit --no-fund)
  cp web/package-lock.json "$installed"
fi
