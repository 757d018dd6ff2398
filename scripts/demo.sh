#!/usr/bin/env bash
# Installs what is missing, builds the default preset and runs the main program: the driver
# on the emulated machine with two devices, then its event log.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target dfuhost
build/default/tools/dfuhost "$@"
