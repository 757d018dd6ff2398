#!/usr/bin/env bash
# Fails when a folder includes a header it may not see. The driver logic is layered, each folder
# seeing only those below it: updater_interface/ (the codes and records the updater shares, a
# leaf over platform/'s types), then context/ (the device context and the driver-wide values
# every device shares), then usb/, then dfu/ and notify/, then control/, then driver/ on top.
# sim/ sees only the device-end interface; host/ knows neither the driver nor the model; client/
# sees updater_interface/ and the host's I/O manager.
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

below='platform/|updater_interface/|context/'
check updater_interface 'updater_interface/|platform/types\.h'
check context "${below}"
check usb "${below}|usb/"
check dfu "${below}|usb/|dfu/"
check notify "${below}|usb/|notify/"
check control "${below}|usb/|dfu/|notify/|control/"
check driver "${below}|usb/|dfu/|notify/|control/|driver/"
check platform 'platform/'
check sim 'sim/|host/interface/'
check host 'platform/|host/'
check client 'client/|updater_interface/|host/|platform/'

if [ $status -eq 0 ]; then echo "dependency rules hold"; fi
exit $status
