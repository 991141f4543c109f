#!/usr/bin/env bash
# Installs what the build needs, builds every layer with warnings as errors,
# runs every test, with GCC and again with clang (lock annotations checked),
# then the core tests under ASan/UBSan and the fuzz targets.
# Meant for a fresh Debian 12 machine, run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/packages.sh
qorvel_install_missing "${qorvel_build_packages[@]}" "${qorvel_check_packages[@]}"

cmake --preset ci
cmake --build --preset ci -j2
ctest --preset ci

# Every layer again with clang, whose -Wthread-safety checks the lock
# annotations as errors.
cmake --preset clang
cmake --build --preset clang -j2
ctest --preset clang

cmake --preset asan
cmake --build --preset asan -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan

cmake --preset fuzz
fuzzers=$(cd tools/fuzz 2>/dev/null && ls *.cpp 2>/dev/null | sed 's/\.cpp$//' || true)
# About three minutes of fuzzing in all, shared among the targets, unless
# QORVEL_FUZZ_SECONDS sets the time of each.
fuzz_count=$(echo $fuzzers | wc -w)
fuzz_seconds=${QORVEL_FUZZ_SECONDS:-$((180 / (fuzz_count > 0 ? fuzz_count : 1)))}
for f in $fuzzers; do
  cmake --build --preset fuzz -j2 --target "$f"
  mkdir -p "build/fuzz/corpus-$f"
  "build/fuzz/tools/$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "build/fuzz/corpus-$f"
done
echo "all checks passed"
