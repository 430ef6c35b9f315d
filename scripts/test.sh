#!/usr/bin/env bash
# Builds (running the set-up when needed) and runs the whole test suite.
#   scripts/test.sh             plain build
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build
#   scripts/test.sh --tsan      ThreadSanitizer build, running the tests that start threads
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
only=()
if [[ ${1:-} == --sanitize ]]; then
  dir=build-sanitize
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:intercept_tls_get_addr=0}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
  export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}"
fi

if [[ ${1:-} == --tsan ]]; then
  dir=build-tsan
  scripts/setup.sh >/dev/null # packages, and the plain build the others expect
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    -DCHATFERRY_BENCH=OFF >/dev/null
  cmake --build "$dir" -j "${CHATFERRY_JOBS:-$(nproc 2>/dev/null || echo 2)}"
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}"
  # Tests whose names say they run threads, workers or concurrent readers.
  only=(-R 'Thread|Worker|Concurren|AtOnce|Parallel|ProgressForm|Cancel')
else
  scripts/setup.sh "$@"
fi
export QT_QPA_PLATFORM=offscreen
cd "$dir"
ctest --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" "${only[@]}"
