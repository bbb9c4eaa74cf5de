#!/usr/bin/env bash
# Builds the whole tree with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# test suite under them. Expects the packages of scripts/orvanel.sh to be installed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORVANEL_SANITIZE_DIR:-$root/build-sanitize}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANEL_SANITIZE=ON \
  -DORVANEL_BENCHMARKS=OFF
cmake --build "$build" --parallel
cd "$build"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Qt's and fontconfig's own caches are not ours to free.
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
# In a network of its own, as scripts/orvanel.sh test runs it.
isolate=("$root/scripts/loopback-only.sh")
[ "${ORVANEL_TEST_NETWORK:-private}" = shared ] && isolate=()
QT_QPA_PLATFORM=offscreen "${isolate[@]}" ctest --output-on-failure --parallel "$(nproc)" --timeout 600
