#!/usr/bin/env bash
# Runs every fuzz target of a build for a while and reports how many inputs each executed.
#
#   tests/fuzz/run-fuzz.sh <builddir> <seconds>
#
# <builddir> is a build configured with CC=clang CXX=clang++ -DQUORVEX_FUZZ=ON. Each target
# starts from its seed corpus (copied, so that the seeds in the tree stay as they are) and
# keeps what it finds under <builddir>/fuzz-runs/<target>/. A crash, a failed check or a
# sanitizer report fails the run; the input that caused it is left in that folder.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 <builddir> <seconds>" >&2
    exit 2
fi
builddir=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

mapfile -t targets < <(find "$builddir" -type f -name 'fuzz_*' -perm -u+x ! -name '*.sh' | sort)
if [[ ${#targets[@]} -eq 0 ]]; then
    echo "no fuzz targets under $builddir (configure with clang and -DQUORVEX_FUZZ=ON)" >&2
    exit 2
fi

failed=0
printf '%-28s %12s %8s  %s\n' target executions corpus result
for binary in "${targets[@]}"; do
    name=$(basename "$binary")
    work="$builddir/fuzz-runs/$name"
    mkdir -p "$work/corpus"
    if [[ -d "$here/corpus/$name" ]]; then
        cp -n "$here/corpus/$name"/* "$work/corpus/" 2>/dev/null || true
    fi
    log="$work/last-run.log"
    status=0
    "$binary" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
        -artifact_prefix="$work/" "$work/corpus" >"$log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    units=$(find "$work/corpus" -type f | wc -l)
    if [[ $status -eq 0 ]]; then
        result=ok
    else
        result="FAILED (exit $status, see $log)"
        failed=1
    fi
    printf '%-28s %12s %8s  %s\n' "$name" "${executions:-?}" "$units" "$result"
    if [[ $status -ne 0 ]]; then
        grep -E 'ERROR|check failed|runtime error|SUMMARY|Test unit written' "$log" | head -n 10 | sed 's/^/    /'
    fi
done
exit $failed
