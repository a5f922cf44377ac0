#!/usr/bin/env bash
# Builds everything and runs every test. The one test command of the project.
#
# Three builds, each in its own folder:
#   build       release, the whole suite;
#   build-asan  the same suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   build-fuzz  the libFuzzer targets (clang), each run ZD_FUZZ_SECONDS (default 25)
#               over a seed corpus written at run time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs="$(nproc)"

section() { printf '\n=== %s (%ds so far)\n' "$1" "$SECONDS"; }

section "release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

section "AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZD_SANITIZE=ON
cmake --build build-asan -j"$jobs"
# Any report fails the test that caused it, not only the ones that abort.
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

section "fuzz targets"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZD_FUZZ=ON -DZD_FUZZ_SECONDS="${ZD_FUZZ_SECONDS:-25}"
cmake --build build-fuzz -j"$jobs" --target fuzz
ctest --test-dir build-fuzz --output-on-failure -j"$jobs"
