#!/usr/bin/env bash
# Installs what is missing, then builds every target and runs every test under each preset.
# asan-ubsan is the clang build: it holds the whole tree to clang's warnings as well as GCC's,
# and runs the fuzz targets' seed corpora as tests.
# Usage: scripts/test.sh [preset ...]   (default: default asan-ubsan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
    presets=(default asan-ubsan tsan)
fi

jobs=$(nproc)
for preset in "${presets[@]}"; do
    echo "=== preset ${preset}"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    ctest --preset "${preset}" -j "${jobs}"
    if [ "${preset}" = default ]; then
        # The Windows image against the built-in driver (tests/image/differential_test.cpp).
        runs=$(grep -ho '^differential: [0-9]*' build/default/Testing/Temporary/LastTest.log |
               awk '{n += $2} END {print n + 0}')
        if [ "${runs}" -gt 0 ]; then
            echo "=== differential: ${runs} runs compared between the built-in driver and ostdfu.sys, all identical"
        else
            echo "=== differential: skipped, ostdfu.sys is not built (the test windows.image says why)"
        fi
    fi
done
