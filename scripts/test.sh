#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test under each preset.
# Usage: scripts/test.sh [preset ...]   (default: default asan-ubsan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan-ubsan tsan)

jobs=$(nproc)
for preset in "${presets[@]}"; do
    echo "=== preset ${preset}"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    ctest --preset "${preset}" -j "${jobs}"
done
