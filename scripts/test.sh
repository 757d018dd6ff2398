#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test under each preset, and replays the
# fuzz targets' seed corpora.
# Usage: scripts/test.sh [preset ...]   (default: default asan-ubsan tsan, then the replay)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

presets=("$@")
replay=0
if [ ${#presets[@]} -eq 0 ]; then
    presets=(default asan-ubsan tsan)
    replay=1
fi

jobs=$(nproc)
for preset in "${presets[@]}"; do
    echo "=== preset ${preset}"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    ctest --preset "${preset}" -j "${jobs}"
done

if [ "${replay}" -eq 1 ]; then
    echo "=== fuzz corpora"
    scripts/fuzz.sh --replay
fi
