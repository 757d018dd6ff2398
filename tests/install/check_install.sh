#!/usr/bin/env bash
# Installs the build into a staging directory as a package would (DESTDIR, prefix /usr) and checks
# what a user gets: a dfuhost that runs from there and names its version, every header of the
# control interface compiling on its own from the installed tree, the driver package whose INF
# carries the same version, and every page of the documentation. Nothing else is installed.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR STAGING_DIR VERSION CXX IMAGE
#   IMAGE  1 when the build makes the driver image (it is installed as ostdfu.sys), else 0
set -euo pipefail
build=$1 source=$2 staging=$3 version=$4 cxx=$5 image=$6

fail() { echo "install: $*" >&2; exit 1; }

rm -rf "${staging}"
DESTDIR="${staging}" cmake --install "${build}" --prefix /usr >/dev/null
root="${staging}/usr"

expected=("bin/dfuhost" "include/ostdfu/platform/types.h" "share/ostdfu/driver/ostdfu.inf"
          "share/doc/ostdfu/README.md")
for header in "${source}"/updater_interface/*.h; do
    expected+=("include/ostdfu/updater_interface/$(basename "${header}")")
done
for page in "${source}"/docs/*.md; do
    expected+=("share/doc/ostdfu/docs/$(basename "${page}")")
done
if [ "${image}" = 1 ]; then
    expected+=("share/ostdfu/driver/ostdfu.sys")
fi

for file in "${expected[@]}"; do
    [ -f "${root}/${file}" ] || fail "${file} is not installed"
done
installed=$(cd "${root}" && find . -type f | sed 's|^\./||' | sort)
unexpected=$(comm -23 <(echo "${installed}") <(printf '%s\n' "${expected[@]}" | sort))
[ -z "${unexpected}" ] || fail "installed but not expected: ${unexpected}"

"${root}/bin/dfuhost" --version | grep -q "^dfuhost ${version//./\\.}\( (commit [0-9a-f]*\(, modified\)\{0,1\})\)\{0,1\}$" ||
    fail "dfuhost --version: $("${root}/bin/dfuhost" --version)"

# From the staging directory, so that nothing of the source tree is found instead.
cd "${staging}"
for header in "${root}"/include/ostdfu/updater_interface/*.h; do
    echo "#include \"updater_interface/$(basename "${header}")\"" |
        "${cxx}" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"${root}/include/ostdfu" -x c++ - ||
        fail "$(basename "${header}") does not compile on its own from the installed tree"
done

grep -q "^DriverVer *= *[0-9/]*,${version//./\\.}\.0[[:space:]]*$" "${root}/share/ostdfu/driver/ostdfu.inf" ||
    fail "the INF's DriverVer is not version ${version}.0"
echo "installed and checked: ${#expected[@]} files"
