#!/usr/bin/env bash
# Installs what is missing, replays the fuzz targets' seed corpora, then builds and runs every
# test under each preset.
# Usage: scripts/test.sh [preset ...]   (default: the replay, then default asan-ubsan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

presets=("$@")
replay=0
if [ ${#presets[@]} -eq 0 ]; then
    presets=(default asan-ubsan tsan)
    replay=1
fi

# The corpora first, so the test runner's summary closes the output.
if [ "${replay}" -eq 1 ]; then
    echo "=== fuzz corpora"
    scripts/fuzz.sh --replay
fi

jobs=$(nproc)
for preset in "${presets[@]}"; do
    echo "=== preset ${preset}"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    ctest --preset "${preset}" -j "${jobs}"
done
