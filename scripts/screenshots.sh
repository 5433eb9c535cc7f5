#!/usr/bin/env bash
# Photographs the five wizard pages and a finished mosaic under Xvfb: the
# end-to-end test walks the wizard with a generated collection and, with
# KVP_SCREENSHOT_DIR set, saves every page into docs/screenshots/; the
# update and options page tests add the pages that say a mosaic cannot be
# made as asked.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target tst_wizardwalk tst_updateimagedbpage tst_chooseoptionspage
mkdir -p docs/screenshots
KVP_SCREENSHOT_DIR="$PWD/docs/screenshots" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/wizard/tst_wizardwalk" wholeWizard
KVP_SCREENSHOT_DIR="$PWD/docs/screenshots" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/wizard/tst_updateimagedbpage" noUsablePictureStays
KVP_SCREENSHOT_DIR="$PWD/docs/screenshots" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/wizard/tst_chooseoptionspage" noteWhenTilesStayEmpty
ls -l docs/screenshots
