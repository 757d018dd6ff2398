#!/usr/bin/env bash
# Fails when a folder includes a header it may not see: the driver logic sees platform/ and the
# other driver-logic folders; sim/ sees only the device-end interface; host/ knows neither the
# driver nor the model; client/ sees control/public/ and the host's I/O manager.
set -u
root=${1:-.}
cd "$root" || exit 2
status=0

check() {  # folder, allowed-include regex
    local folder=$1 allowed=$2
    [ -d "$folder" ] || return 0
    local bad
    bad=$(grep -rnE '^\s*#\s*include\s+"' "$folder" --include='*.h' --include='*.cpp' |
          grep -vE "#\s*include\s+\"($allowed)" || true)
    if [ -n "$bad" ]; then
        echo "$folder includes what it may not:"
        echo "$bad"
        status=1
    fi
}

logic='platform/|driver/|usb/|dfu/|control/|notify/'
for f in driver usb dfu control notify; do check "$f" "$logic"; done
check platform 'platform/'
check sim 'sim/|host/interface/'
check host 'platform/|host/'
check client 'client/|control/public/|host/|platform/'

if [ $status -eq 0 ]; then echo "dependency rules hold"; fi
exit $status
