#!/usr/bin/env bash
# Installs what is missing, builds the default preset and runs the main program on the built-in
# demo bus: `dfuhost list`, one line per device as the driver identified it. Arguments, if any,
# are passed to dfuhost instead (scripts/demo.sh info strada-base).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target dfuhost
if [ $# -eq 0 ]; then
    set -- list
fi
build/default/tools/dfuhost "$@"
