#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the normal build,
# the address/undefined sanitizer build, and a bounded run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
echo "== normal build"
./scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== sanitizer build (address, undefined)"
./scripts/build.sh build-asan -DTAVRO_SANITIZE=ON -DTAVRO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz targets"
./scripts/build.sh build-fuzz -DTAVRO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
./scripts/fuzz.sh build-fuzz "${TAVRO_FUZZ_SECONDS:-60}"
