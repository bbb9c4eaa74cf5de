#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers on)
# and runs each for SECONDS (default 600) from its seed corpus. Findings land in
# build-fuzz/artifacts/TARGET/; copy each into tests/fuzz/regressions/TARGET/ once mended.
#   scripts/fuzz.sh [SECONDS] [TARGET ...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
seconds="${1:-600}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(FuzzRules FuzzLineReader FuzzTagStorage FuzzCharset FuzzAddress FuzzJsonLines FuzzRetryAfter)
dpkg-query -W -f='${Status}' clang 2>/dev/null | grep -q "install ok installed" || {
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang libclang-rt-dev > /dev/null
}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANEL_FUZZ=ON -DORVANEL_SANITIZE=ON -DORVANEL_GUI=OFF -DORVANEL_BENCHMARKS=OFF > /dev/null
cmake --build "$build" --target "${targets[@]}"
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  cp -n "$root/tests/fuzz/corpus/$t/"* "$build/corpus/$t/" 2>/dev/null || true
  echo "== $t for $seconds s"
  "$build/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" 2>&1 |
    grep -E "^stat::(number_of_executed_units|peak_rss_mb)|DONE|==[0-9]+==ERROR|SUMMARY|artifact" || true
done
