#!/usr/bin/env bash
# Runs every benchmark, one after another, and prints their rows as one table; the table is also
# written to $BUILD/bench.md, what each benchmark said besides to $BUILD/bench.log.
# BENCH_QUICK=1 runs small sizes (a check that the benchmarks work, not figures to quote).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
bin=$build/bin
table=$build/bench.md
log=$build/bench.log
: >"$log"
if [[ -n ${BENCH_QUICK:-} ]]; then
    check=(5) idle=(2 10) ftp=(20 200 2) scan=(--files 10000 --runs 2) server=(5)
else
    check=(15) idle=(5 30) ftp=(200 2000 5) scan=() server=(30)
fi

rows() {
    echo "== $*" >>"$log"
    "$@" 2>>"$log" | tee -a "$log" | grep '^| ' | grep -v '^| name ' || echo "| $(basename "$1"): failed, see $log | | | |"
}

{
    echo "Benchmarks of $(date +%Y-%m-%d), $(nproc) cores, $(uname -r); min / median of each side"
    echo "and of the ratio run by run (ours / reference), from one run on a shared machine."
    echo
    echo "| Benchmark | Ours | Reference | Ratio |"
    echo "|---|---|---|---|"
    rows "$bin/supervisor_bench" "${check[@]}"
    rows "$root/bench/idle_supervision.sh" "${idle[@]}"
    rows "$bin/kbm_scan_bench" "${scan[@]}"
    rows "$bin/kbm_ftp_bench" "${ftp[@]}"
    rows "$bin/update_server_bench" "${server[@]}"
} | tee "$table"
