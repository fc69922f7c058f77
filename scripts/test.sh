#!/usr/bin/env bash
# Installs what the build and the tests need, builds, and runs every test.
# The fuzz targets are built with clang (ASan, UBSan) into build-fuzz/ and
# run briefly by ctest; every other test case runs in a private network
# namespace of its own (tests/support/netns.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build-fuzz -DSORVAN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$jobs"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600
