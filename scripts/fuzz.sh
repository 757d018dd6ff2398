#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`, clang) and runs each of them.
# Usage: scripts/fuzz.sh [--replay] [SECONDS] [TARGET ...]
#   SECONDS    fuzzing time per target (default 60)
#   --replay   run the checked-in seed corpora once and stop (fast; no new inputs)
#   TARGET     only these targets (names of fuzz/*.cpp without .cpp); default: all
# New inputs go to build/fuzz/corpus/<target>, crashes to build/fuzz/findings/<target>; the
# checked-in seeds under fuzz/corpus/ are only read. Exit status 1 when any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."

replay=0
seconds=60
targets=()
for arg in "$@"; do
    case "${arg}" in
        --replay) replay=1 ;;
        -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
        ''|*[!0-9]*) targets+=("${arg}") ;;
        *) seconds="${arg}" ;;
    esac
done
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/*.cpp; do
        targets+=("$(basename "${source}" .cpp)")
    done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
    binary="build/fuzz/fuzz/${target}"
    seeds="fuzz/corpus/${target}"
    findings="build/fuzz/findings/${target}"
    mkdir -p "${findings}"
    if [ "${replay}" -eq 1 ]; then
        echo "=== ${target}: replaying ${seeds}"
        args=(-runs=0 "${seeds}")
    else
        corpus="build/fuzz/corpus/${target}"
        mkdir -p "${corpus}"
        echo "=== ${target}: fuzzing for ${seconds} s"
        args=(-max_total_time="${seconds}" -timeout=10 -rss_limit_mb=4096 "${corpus}" "${seeds}")
    fi
    if ! "${binary}" -artifact_prefix="${findings}/" -print_final_stats=0 "${args[@]}" \
        >"${findings}/last.log" 2>&1; then
        failed+=("${target}")
        tail -n 40 "${findings}/last.log"
    else
        grep -E '^(Done|#[0-9]+ *DONE)' "${findings}/last.log" | tail -n 1 || true
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]} (inputs and logs in build/fuzz/findings/)"
    exit 1
fi
echo "all ${#targets[@]} targets passed"
