#!/usr/bin/env bash
# Runs the test suite on a machine loaded to several times its cores: starts FACTOR x nproc busy loops,
# runs `make test` (or, with --check, the suite already built, through `make check`), stops the loops
# and reports the load it ran under, the wall time and the pass count. Each loop ends by itself after
# LIMIT seconds, and all of them end with this script however it ends.
#
#   tests/load.sh [--factor N] [--limit SECONDS] [--check] [--log FILE]
#
# The exit code is the test run's.
set -u
cd "$(dirname "$0")/.."

factor=4
limit=7200
target=test
log=build/load-test.log
while [ $# -gt 0 ]; do
    case "$1" in
        --factor) factor="$2"; shift 2 ;;
        --limit) limit="$2"; shift 2 ;;
        --check) target=check; shift ;;
        --log) log="$2"; shift 2 ;;
        *) echo "usage: $0 [--factor N] [--limit SECONDS] [--check] [--log FILE]" >&2; exit 2 ;;
    esac
done
case "$factor$limit" in
    *[!0-9]*) echo "$0: --factor and --limit take whole numbers" >&2; exit 2 ;;
esac

cores=$(nproc)
loops=$((factor * cores))
mkdir -p "$(dirname "$log")"
samples=$(mktemp)
pids=()

stop() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    pids=()
}
trap 'stop; rm -f "$samples"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for _ in $(seq "$loops"); do
    ( end=$((SECONDS + limit)); while [ "$SECONDS" -lt "$end" ]; do :; done ) &
    pids+=($!)
done
# The one-minute load average every five seconds while the suite runs.
( end=$((SECONDS + limit))
  while [ "$SECONDS" -lt "$end" ]; do cut -d' ' -f1 /proc/loadavg >>"$samples"; sleep 5; done ) &
pids+=($!)

echo "load test: $loops busy loops ($factor x $cores cores) for at most $limit s; make $target; log $log"
start=$(date +%s)
make --no-print-directory "$target" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
wall=$(($(date +%s) - start))
stop

load=$(awk '{ s += $1; if ($1 > p) p = $1 }
            END { if (NR) printf "mean %.1f, peak %.1f over %d samples", s / NR, p, NR; else print "not sampled" }' \
           "$samples")
summary=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1)
echo "load test: load average $load on $cores cores; wall time ${wall} s; ${summary:-no test summary}; exit $status"
exit "$status"
