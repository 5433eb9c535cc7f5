#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: once as a normal build
# and once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
xvfb-run -a ctest --test-dir build --output-on-failure -j2

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKVP_SANITIZE=address,undefined -DKVP_BUILD_BENCH=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
xvfb-run -a ctest --test-dir build-asan --output-on-failure -j2
