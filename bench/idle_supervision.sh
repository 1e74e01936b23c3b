#!/usr/bin/env bash
# Idle supervision beside supervisord: the real kestrun (offscreen) keeps 40 "always" programs
# running, supervisord keeps 40 copies of the same program running, both at once on the same
# machine. After both have started their programs, the CPU time each spends (all its threads,
# from the scheduler's nanosecond counters) is measured over windows of equal length.
#
# Usage: idle_supervision.sh [windows] [seconds per window]   (defaults 5 and 30)
# Prints one table row per figure: min and median over the windows, and of the ratio.
set -euo pipefail
windows=${1:-5}
seconds=${2:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
command -v supervisord >/dev/null || { echo "supervisord is not installed" >&2; exit 1; }

scratch=$(mktemp -d /tmp/kestrun-idle-XXXXXX)
kestrun_pid=
supervisord_pid=
finish() {
    [[ -n $kestrun_pid ]] && kill "$kestrun_pid" 2>/dev/null
    [[ -n $supervisord_pid ]] && kill "$supervisord_pid" 2>/dev/null
    wait 2>/dev/null
    pkill -f "$scratch/" 2>/dev/null || true
    [[ -n ${KEEP:-} ]] || rm -rf "$scratch"
}
trap finish EXIT

# Each supervised program is a copy of sleep under a name of its own (the two sets differ: a
# program check counts any running process of the name).
mkdir -p "$scratch/k/bin" "$scratch/k/config/Tavisoft" "$scratch/s/bin"
for i in $(seq 0 39); do
    cp /bin/sleep "$scratch/k/bin/kprogram$i"
    cp /bin/sleep "$scratch/s/bin/sprogram$i"
    printf '%s\t0,0,0\r\n' "$scratch/k/bin/kprogram$i?n100000"
done >"$scratch/k/progs.lst"
printf '[General]\nPeriod=0\nFolder=1\nUmode=0\n' >"$scratch/k/config/Tavisoft/Kestrun.conf"
{
    printf '[supervisord]\nnodaemon=true\nlogfile=%s/s/supervisord.log\npidfile=%s/s/pid\n' \
        "$scratch" "$scratch"
    for i in $(seq 0 39); do
        printf '[program:p%d]\ncommand=%s/s/bin/sprogram%d 100000\nautorestart=true\n' \
            "$i" "$scratch" "$i"
    done
} >"$scratch/s/supervisord.conf"

(cd "$scratch/k" && XDG_CONFIG_HOME=$scratch/k/config APPDATA=$scratch/k/appdata \
    XDG_RUNTIME_DIR=$scratch QT_QPA_PLATFORM=offscreen exec "$build/bin/kestrun" \
    >"$scratch/k/out.txt" 2>&1) &
kestrun_pid=$!
supervisord -c "$scratch/s/supervisord.conf" >"$scratch/s/out.txt" 2>&1 &
supervisord_pid=$!

running() { pgrep -f "$scratch/$1/bin/${1}program" | wc -l; }
for _ in $(seq 40); do
    [[ $(running k) -eq 40 && $(running s) -eq 40 ]] && break
    sleep 1
done
if [[ $(running k) -ne 40 || $(running s) -ne 40 ]]; then
    echo "the programs did not start (kestrun: $(running k), supervisord: $(running s))" >&2
    exit 1
fi
sleep 10 # past the start-up of both and a first quiet beat

cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{s += $1} END {print s}'; }
rss_kb() { awk '/^VmRSS/ {print $2}' /proc/"$1"/status; }
ours=() theirs=()
for _ in $(seq "$windows"); do
    k0=$(cpu_ns "$kestrun_pid") s0=$(cpu_ns "$supervisord_pid")
    sleep "$seconds"
    ours+=($(($(cpu_ns "$kestrun_pid") - k0)))
    theirs+=($(($(cpu_ns "$supervisord_pid") - s0)))
done

python3 - "$seconds" "$(rss_kb "$kestrun_pid")" "$(rss_kb "$supervisord_pid")" \
    "${ours[*]}" "${theirs[*]}" <<'EOF'
import statistics, sys
seconds, rss_k, rss_s = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
ours = [int(v) / 1e6 for v in sys.argv[4].split()]
theirs = [int(v) / 1e6 for v in sys.argv[5].split()]
ratio = [o / t if t else float("inf") for o, t in zip(ours, theirs)]
def mm(v, unit): return f"{min(v):.1f} / {statistics.median(v):.1f} {unit}"
print(f"| idle supervision of 40 programs, CPU per {seconds} s ({len(ours)} runs) "
      f"| kestrun {mm(ours, 'ms')} | supervisord {mm(theirs, 'ms')} "
      f"| {min(ratio):.2f} / {statistics.median(ratio):.2f} |")
print(f"| idle supervision of 40 programs, RSS | kestrun {rss_k / 1024:.1f} MB "
      f"| supervisord {rss_s / 1024:.1f} MB | {rss_k / rss_s:.2f} |")
EOF
