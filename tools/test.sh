#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test: once plain (with the Python suite and the
# installed package), once with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
# The installed package, static and shared, from projects of their own.
tools/test_package.sh

# (A sanitized Python module cannot be loaded into Debian's interpreter: the plain build tests it.)
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVIZMORO_SANITIZE=ON -DVIZMORO_PYTHON=OFF
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

# The packed-data reader under libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer (clang,
# a build of its own): a fixed seed and run count over a copy of the seed memories and of every
# input it found before, so that every run explores the same inputs (about a minute). Any crash,
# leak or sanitizer report fails the run; longer runs with other seeds belong outside the suite.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVIZMORO_FUZZ=ON -DVIZMORO_TESTS=OFF -DVIZMORO_PYTHON=OFF
cmake --build build-fuzz -j"$jobs" --target packed_data_fuzz
rm -rf build-fuzz/run && mkdir -p build-fuzz/run/corpus build-fuzz/run/artifacts
cp fuzz/corpus/* tests/data/packed_regressions/* build-fuzz/run/corpus/
UBSAN_OPTIONS=print_stacktrace=1 build-fuzz/fuzz/packed_data_fuzz -seed=1 -runs=2000000 \
  -max_total_time=180 -timeout=10 -rss_limit_mb=2048 -detect_leaks=1 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/run/artifacts/ build-fuzz/run/corpus
