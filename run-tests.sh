#!/usr/bin/env bash
# Installs what is needed, checks the formatting, builds with every warning an
# error, and runs every test: as a normal build, under AddressSanitizer and
# UndefinedBehaviorSanitizer, the image database and engine tests under
# ThreadSanitizer, and a short libFuzzer run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

echo "== Formatting"
# Every C++ source as .clang-format has it; a difference fails the run.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== Normal build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVP_WERROR=ON
xvfb-run -a ctest --test-dir build --output-on-failure -j2

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKVP_SANITIZE=address,undefined -DKVP_BUILD_BENCH=OFF \
  -DKVP_WERROR=ON
(
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
  # Mesa's software renderer starts drawing and shader-cache threads of its
  # own in every GUI test; the leak check at exit stops all threads, and its
  # tracer has crashed on those while a busy machine was tearing them down.
  export LP_NUM_THREADS=0 MESA_SHADER_CACHE_DISABLE=true
  xvfb-run -a ctest --test-dir build-asan --output-on-failure -j2
)

echo "== ThreadSanitizer"
# Debian's Qt is not instrumented: its own accesses are ignored, ours are not,
# and nothing of ours is suppressed. The racy self-test passes only when its
# race is reported, so this pass cannot go blind unnoticed.
tsan_tests=(tsan_racy_selftest)
for source in tests/imagedb/tst_*.cpp tests/engine/tst_*.cpp; do
  [ -e "$source" ] && tsan_tests+=("$(basename "$source" .cpp)")
done
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVP_SANITIZE=thread \
  -DKVP_BUILD_BENCH=OFF -DKVP_BUILD_FUZZ=OFF -DKVP_WERROR=ON >/dev/null
cmake --build build-tsan --target "${tsan_tests[@]}"
(
  IFS='|'
  export TSAN_OPTIONS=ignore_noninstrumented_modules=1:halt_on_error=1:second_deadlock_stack=1
  ctest --test-dir build-tsan --output-on-failure -j2 -R "^(${tsan_tests[*]})\$"
)

echo "== libFuzzer"
# Each target runs for a fixed budget on its seed corpus and the inputs that
# once broke it; new inputs go to a scratch corpus, never to the source tree.
fuzz_seconds=${KVP_FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVP_SANITIZE=fuzzer-no-link,address,undefined -DKVP_BUILD_BENCH=OFF -DKVP_WERROR=ON >/dev/null
cmake --build build-fuzz --target fuzz_cmdline fuzz_jpeg fuzz_imagedb fuzz_corpus
(
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  for target in cmdline jpeg imagedb; do
    scratch=build-fuzz/fuzz/scratch/$target
    rm -rf "$scratch" && mkdir -p "$scratch"
    # A tiny JPEG may claim up to the reader's 1 GiB limit and take many
    # seconds to decode under the sanitizers: slow, not wrong. Its target runs
    # in a child process so such an input is noted and passed over; the other
    # targets have no slow inputs, and a hang there is a failure.
    extra=(-timeout=20)
    [ "$target" = jpeg ] && extra=(-fork=1 -ignore_timeouts=1 -timeout=60)
    build-fuzz/fuzz/fuzz_$target -max_total_time="$fuzz_seconds" -rss_limit_mb=4096 "${extra[@]}" \
      -print_final_stats=1 -artifact_prefix=build-fuzz/fuzz/$target- \
      "$scratch" build-fuzz/fuzz/corpus/$target fuzz/regressions/$target
  done
)
echo "== All passes green"
