#!/usr/bin/env bash
# Builds the timing programs and runs them all; each makes its own data and
# prints its figures beside their floor or reference. A few minutes on an
# idle two-core machine. Usage: scripts/bench.sh [build directory]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVP_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target bench_imaging bench_match bench_update bench_pipeline bench_largemosaic bench_sample
for program in bench_imaging bench_match "bench_update 300" "bench_pipeline 2000" bench_sample; do
    echo "== $program"
    # shellcheck disable=SC2086
    "$build/bench/"$program
    echo
done
# The Generate page needs an X server.
echo "== bench_largemosaic"
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bench/bench_largemosaic"
