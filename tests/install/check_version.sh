#!/usr/bin/env bash
# The version text cmake/WriteVersion.cmake writes, for each kind of tree a build starts from: a
# work tree of the project (its commit), a tarball made by `git archive` (the commit it filled
# in), a tarball that says nothing, one unpacked inside another repository (whose commit is not
# this tree's), and a commit given by whoever builds.
# Usage: check_version.sh SOURCE_DIR SCRATCH_DIR VERSION
set -euo pipefail
source=$1 scratch=$2 version=$3
script="${source}/cmake/WriteVersion.cmake"
git=$(command -v git || true)

fail() { echo "version: $*" >&2; exit 1; }

# text TREE [COMMIT]: what the script writes for TREE
text() {
    local output="${scratch}/version.cpp"
    rm -f "${output}"
    cmake -DVERSION="${version}" -DSOURCE_DIR="$1" -DOUTPUT="${output}" -DCOMMIT="${2:-}" \
          -DGIT="${git}" -P "${script}"
    sed -n 's/.*return "\(.*\)";.*/\1/p' "${output}"
}

expect() {
    local got
    got=$(text "$2" "${3:-}")
    [ "${got}" = "$1" ] || fail "$2: expected '$1', got '${got}'"
}

rm -rf "${scratch}"
mkdir -p "${scratch}/plain/cmake" "${scratch}/archived/cmake" "${scratch}/unfilled/cmake"
# The scratch directory lies in the build tree, itself often inside the project's work tree.
echo '$Format:%h$' >"${scratch}/unfilled/cmake/commit.txt"
echo '0123abcd' >"${scratch}/archived/cmake/commit.txt"

expect "dfuhost ${version}" "${scratch}/plain"
expect "dfuhost ${version}" "${scratch}/unfilled"
expect "dfuhost ${version} (commit 0123abcd)" "${scratch}/archived"
expect "dfuhost ${version} (commit 4567ef)" "${scratch}/plain" 4567ef

if [ -n "${git}" ] && [ "$(git -C "${source}" rev-parse --show-toplevel 2>/dev/null)" = "${source}" ]; then
    head=$(git -C "${source}" rev-parse --short=12 HEAD)
    got=$(text "${source}")
    case "${got}" in
        "dfuhost ${version} (commit ${head})" | "dfuhost ${version} (commit ${head}, modified)") ;;
        *) fail "the work tree at ${head}: got '${got}'" ;;
    esac
fi

# Written again only when the text changes, so that an unchanged commit rebuilds nothing.
output="${scratch}/version.cpp"
text "${scratch}/archived" >/dev/null
touch -d '2000-01-01' "${output}"
cmake -DVERSION="${version}" -DSOURCE_DIR="${scratch}/archived" -DOUTPUT="${output}" -P "${script}"
[ "$(stat -c %Y "${output}")" = "$(date -d '2000-01-01' +%s)" ] || fail "an unchanged text was written again"
echo "version texts checked"
