#!/usr/bin/env bash
# Installs every Debian 12 package the project builds, tests and runs with, and finds the
# framework's published headers the driver image is built against.
# Idempotent: when everything is present it returns without touching apt or the network.
set -euo pipefail
cd "$(dirname "$0")/.."

# The framework's KMDF 1.15 headers, exactly as published (MIT). They are looked for beside the
# checkout (../shared/third_party/kmdf/1.15, where the team keeps them) and in third_party/; where
# neither has them and GitHub is reachable, the pinned commit's folder is fetched into
# third_party/ (not committed). Without them the image's build and tests are skipped, and say so.
kmdf_commit=b6191d9543441329154da32f7ab9bdd97228dd3c
fetch_kmdf_headers() {
    for dir in third_party/kmdf/1.15 ../shared/third_party/kmdf/1.15 ../../shared/third_party/kmdf/1.15; do
        [ -f "${dir}/wdf.h" ] && return 0
    done
    command -v git >/dev/null || return 0
    local scratch
    scratch=$(mktemp -d)
    if timeout 120 git -C "${scratch}" init -q &&
        timeout 120 git -C "${scratch}" fetch -q --depth 1 \
            https://github.com/microsoft/Windows-Driver-Frameworks.git "${kmdf_commit}" 2>/dev/null &&
        git -C "${scratch}" checkout -q FETCH_HEAD -- src/publicinc/wdf/kmdf/1.15 LICENSE; then
        mkdir -p third_party/kmdf
        cp -r "${scratch}/src/publicinc/wdf/kmdf/1.15" third_party/kmdf/
        cp "${scratch}/LICENSE" third_party/kmdf/
        echo "bootstrap: fetched the framework's KMDF 1.15 headers into third_party/kmdf"
    else
        echo "bootstrap: the framework's KMDF 1.15 headers are not here and could not be fetched: the driver image will be skipped" >&2
    fi
    rm -rf "${scratch}"
}
fetch_kmdf_headers

packages=(
    g++ cmake ninja-build pkg-config
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    nlohmann-json3-dev libcli11-dev
    libusb-1.0-0-dev umockdev libumockdev-dev dfu-util usbutils
    clang libclang-rt-14-dev
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 python3-pefile
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
fi

echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
