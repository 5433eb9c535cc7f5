#!/usr/bin/env bash
# Installs what is needed, builds the two programs, makes the sample
# collection if it is not there yet and turns its picture into a photo mosaic
# with the command-line tool, with a zoomable view and a likeness report.
# Options given to this script go to the tool (e.g. --tiles 100).
#
# Everything stays inside ./sample: the tool gets its own image database file
# there, and the fastest strategy keeps the reduced copies in that file, so
# nothing is written into the tile cache of your home directory, which
# belongs to your own collection's database.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
# Only the programs: the tests, benchmarks and fuzz targets are built by
# run-tests.sh and scripts/bench.sh.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kestrelvanepatchery kestrelvanepatchery-cli

cli=build/app/kestrelvanepatchery-cli
if [ ! -f sample/source.jpg ] || [ ! -d sample/collection ]; then
  "$cli" --make-sample sample >/dev/null
fi
mosaic=$("$cli" sample/source.jpg --use sample/collection --strategy fastest \
  --imagedb sample/imagedb --output sample/mosaic.jpg --zoomable sample/zoomable --report sample/report "$@")
echo "Your photo mosaic is $mosaic"
echo "Zoom into it in your browser: $PWD/sample/zoomable/index.html"
echo "How closely each tile matches its picture: $PWD/sample/report/likeness.png"
