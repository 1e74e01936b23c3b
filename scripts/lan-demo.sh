#!/usr/bin/env bash
# A LAN update on one machine, over loopback: an update server Kestrun (mode 1) with a "Drop"
# folder and its Zelmo_serv.exe 5.2.0.118, a workstation Kestrun (mode 2) that supervises a
# stand-in Zelmo.exe 5.2.0.117, and a web site offering Zelmo.exe 5.2.0.118. Within a few polls
# the workstation replaces its Zelmo, mirrors the language files, and its program monitor
# starts the new one.
#   scripts/lan-demo.sh            runs until Ctrl+C
#   scripts/lan-demo.sh --check    waits until the workstation has updated (at most 120 s)
#                                  and exits 0, or 1 when it did not
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
bin=$build/bin
check=0
[[ ${1:-} == --check ]] && check=1
for f in kestrun zelmo_stand_in_5_2_0_117 zelmo_stand_in_5_2_0_118; do
    [[ -x $bin/$f ]] || { echo "missing $bin/$f: build first (make lan-demo builds it)"; exit 2; }
done
python=/usr/bin/python3

demo=$build/lan-demo
rm -rf "$demo"
server=$demo/server
ws=$demo/workstation
web=$demo/web
mkdir -p "$server/Drop" "$server/config/Tavisoft" "$server/run" \
    "$ws/zelmo" "$ws/config/Tavisoft" "$ws/run" "$web/Zelmov5"
chmod 700 "$server/run" "$ws/run"

free_port() {
    "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
update_port=$(free_port)

pids=()
stop_all() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    # The workstation's Zelmo is started detached by its program monitor; the recorded PID is
    # ended only while it still is that Zelmo (a PID may have been reused since).
    if [[ -f $ws/zelmo.pid ]]; then
        local zpid
        zpid=$(cat "$ws/zelmo.pid")
        if [[ $zpid =~ ^[0-9]+$ && $(readlink "/proc/$zpid/exe" 2>/dev/null) == "$ws/zelmo/Zelmo.exe" ]]; then
            kill "$zpid" 2>/dev/null || true
        fi
    fi
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# The web site.
cp "$bin/zelmo_stand_in_5_2_0_118" "$web/Zelmov5/Zelmo.exe"
printf 'Zelmo:5.2.0.118\r\n' >"$web/Zelmov5/ver.txt"
"$python" "$root/tests/peers/http_server.py" "$web" "$demo/web.port" "$demo/web.log" &
pids+=($!)
for _ in $(seq 100); do [[ -s $demo/web.port ]] && break; sleep 0.05; done
web_port=$(cat "$demo/web.port")
base=http://127.0.0.1:$web_port

# The update server.
cp "$bin/zelmo_stand_in_5_2_0_118" "$server/Zelmo_serv.exe"
printf '[de]\r\nHello=Hallo\r\n' >"$server/Drop/de.ini"
printf '[en]\r\nHello=Hello\r\n' >"$server/Drop/en.ini"
cat >"$server/config/Tavisoft/Kestrun.conf" <<CONF
[General]
Umode=1
Uport=$update_port
Ufile=$server/Zelmo_serv.exe
Upost=5
Upull=10
Period=0
Promt=0
Update=0
Uhttp=$base/Zelmov5
CONF

# The workstation.
cp "$bin/zelmo_stand_in_5_2_0_117" "$ws/zelmo/Zelmo.exe"
cat >"$ws/config/Tavisoft/Kestrun.conf" <<CONF
[General]
Umode=2
Uhost=127.0.0.1
Uport=$update_port
Ufile=$ws/zelmo/Zelmo.exe
Uhttp=$base/Zelmov5
Period=0
Promt=0
Update=0
CONF
printf '%s?n\t0,0,0\r\n' "$ws/zelmo/Zelmo.exe" >"$ws/progs.lst"
chmod 600 "$server/config/Tavisoft/Kestrun.conf" "$ws/config/Tavisoft/Kestrun.conf"

start_kestrun() { # folder
    (cd "$1" && XDG_CONFIG_HOME=$1/config XDG_RUNTIME_DIR=$1/run APPDATA=$1/appdata \
        KESTRUN_WEB_BASE=$base/KSN QT_QPA_PLATFORM=offscreen exec "$bin/kestrun") \
        >"$1/kestrun.out" 2>&1 &
    pids+=($!)
}
start_kestrun "$server"
start_kestrun "$ws"

echo "Update server log: $server/Kestrun.log"
echo "Workstation log:   $ws/Kestrun.log"
echo "Web site:          $base/Zelmov5 (requests in $demo/web.log)"

zelmo_pid() { # the running Zelmo.exe of the workstation, if any
    for p in /proc/[0-9]*; do
        [[ $(readlink "$p/exe" 2>/dev/null) == "$ws/zelmo/Zelmo.exe" ]] && { basename "$p"; return; }
    done
    return 0
}
logged() { grep -qF "$1" "$ws/Kestrun.log" 2>/dev/null; }
updated() { logged "Zelmo was updated"; }
mirrored() { logged "en.ini Language file was updated" && logged "de.ini Language file was updated"; }
running_new() { # the PID runs the 5.2.0.118 build
    [[ -n $1 ]] && cmp -s "/proc/$1/exe" "$bin/zelmo_stand_in_5_2_0_118"
}

if ((check)); then
    for _ in $(seq 240); do
        pid=$(zelmo_pid); [[ -n $pid ]] && echo "$pid" >"$ws/zelmo.pid"
        updated && mirrored && break
        sleep 0.5
    done
    # The monitor starts the new Zelmo at one of its next beats.
    for _ in $(seq 40); do
        pid=$(zelmo_pid)
        [[ -n $pid ]] && echo "$pid" >"$ws/zelmo.pid" && running_new "$pid" && break
        sleep 0.5
    done
    echo "--- update server log"; cat "$server/Kestrun.log"
    echo "--- workstation log"; cat "$ws/Kestrun.log"
    echo "--- workstation Zelmo folder"; ls -l "$ws/zelmo"
    updated || { echo "FAILED: the workstation did not update"; exit 1; }
    grep -q "ZLM client updated" "$server/Kestrun.log" || { echo "FAILED: no Done"; exit 1; }
    for name in en.ini de.ini; do
        logged "$name Language file was updated" ||
            { echo "FAILED: $name was not mirrored"; exit 1; }
    done
    running_new "${pid:-}" ||
        { echo "FAILED: the running Zelmo (${pid:-none}) is not the 5.2.0.118 build"; exit 1; }
    echo "OK: Zelmo updated, language files mirrored, running Zelmo 5.2.0.118: $pid"
    exit 0
fi
echo "Stop everything with Ctrl+C."
while true; do
    pid=$(zelmo_pid); [[ -n $pid ]] && echo "$pid" >"$ws/zelmo.pid"
    sleep 1
done
