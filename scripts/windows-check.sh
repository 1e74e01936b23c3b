#!/usr/bin/env bash
# The Windows programs as a whole under Wine, on a virtual display of their own, in the Wine
# prefix of the Windows build folder ($BUILD):
#   windows-check.sh                kestrun.exe starts, supervises a Windows program (started
#                                   again when it is killed) and launches kbm.exe, which backs a
#                                   folder up
#                                   and its update engine speaks with a Linux Kestrun over
#                                   loopback: a kestrun.exe update server answers a Linux
#                                   update client, a Linux update server a kestrun.exe client
#   windows-check.sh --screenshots  one PNG per window of both programs (drawn offscreen, as
#                                   the widget tests draw), and a picture of the virtual screen
#                                   with kestrun.exe's main window drawn by Qt's Windows
#                                   platform, in $BUILD/screenshots
#   windows-check.sh --installer    the installer installs the programs (msiexec /i /qn), the
#                                   installed kestrun.exe starts, msiexec /x removes them and
#                                   leaves the lists and logs
# Each step prints one line; a failed step prints the logs and ends the check with status 1.
set -euo pipefail
build=${BUILD:?BUILD names the Windows build folder}
linux_bin=${LINUX_BUILD:-$(cd "$(dirname "$0")/.." && pwd)/build}/bin
mode=${1:-}
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
wine=$build/wine-run
bin=$build/bin
drive_c=$WINEPREFIX/drive_c

started=() # the ids of what this script started, ended on the way out
finish() {
    for pid in "${started[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    # The settings the check gave Kestrun go with it: the prefix's tests start from none.
    "$wine" reg delete 'HKCU\Software\Tavisoft\Kestrun' /f >/dev/null 2>&1 || true
    # Whatever the check's programs started in this prefix of ours ends with its server.
    "$(dirname "$(readlink -f "$(command -v wine64 || echo /usr/lib/wine/wine64)")")/wineserver" \
        -k 2>/dev/null || true
}
trap finish EXIT

say() { printf 'windows-check: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    for log in "${logs[@]}"; do
        [[ -f $log ]] && { echo "--- $log"; tail -n 40 "$log"; }
    done
    exit 1
}
logs=()

# wait_for <file> <text> <seconds> [<count>]: until the file holds the text (count times).
wait_for() {
    local file=$1 text=$2 seconds=$3 count=${4:-1}
    for ((i = 0; i < seconds * 2; i++)); do
        if [[ -f $file ]] && (($(grep -cF -- "$text" "$file" || true) >= count)); then
            return 0
        fi
        sleep 0.5
    done
    return 1
}

start_display() {
    local n
    for n in $(seq 90 130); do
        [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] || break
    done
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    started+=($!)
    export DISPLAY=":$n"
    for ((i = 0; i < 20; i++)); do
        [[ -e /tmp/.X11-unix/X$n ]] && return 0
        sleep 0.25
    done
    fail "the virtual display :$n did not start"
}

reg_set() { # reg_set <name> <REG_SZ|REG_DWORD> <value>: one value of Kestrun's settings key
    "$wine" reg add 'HKCU\Software\Tavisoft\Kestrun' /v "$1" /t "$2" /d "$3" /f >/dev/null 2>&1
}

# A working folder C:\<name> with the three programs, a supervised program (its window normal,
# or with "m" minimised) and a backup list.
make_working_folder() {
    local name=$1 window=${2:-n}
    work=$drive_c/$name
    rm -rf "$work"
    mkdir -p "$work/tools" "$work/data" "$work/backup"
    cp "$bin/kestrun.exe" "$bin/kbm.exe" "$bin/kvu.exe" "$work/"
    cp "$bin/windows_platform_helper.exe" "$work/tools/sleeper.exe"
    printf 'C:\\%s\\tools\\sleeper.exe?%spid C:\\%s\\sleeper.pid\t0,0,0\r\n' "$name" "$window" "$name" \
        >"$work/progs.lst"
    printf 'C:\\%s\\data\t0\t0\r\n' "$name" >"$work/backup.lst"
    echo "2026-12-10;4711;Office chairs" >"$work/data/ledger.csv"
    logs=("$work/Kestrun.log" "$work/KbmBackup.log")
}

check_run() {
    start_display
    "$wine" cmd.exe /c exit >/dev/null 2>&1 || true # the prefix, made once
    make_working_folder KestrunCheck
    reg_set Path REG_SZ 'C:\KestrunCheck\backup'
    reg_set Folder REG_DWORD 1
    reg_set Period REG_DWORD 12
    reg_set Lastbackup REG_SZ ''
    say "starting kestrun.exe in C:\\KestrunCheck on display $DISPLAY"
    (cd "$work" && exec "$wine" 'C:\KestrunCheck\kestrun.exe' >/dev/null 2>&1) &
    windows_pid=$!
    started+=($windows_pid)
    wait_for "$work/Kestrun.log" "Program started" 90 || fail "no \"Program started\" in Kestrun.log"
    say "Kestrun.log: Program started"
    # A second start in the same folder hands over to the running one, which shows its window.
    (cd "$work" && timeout 60 "$wine" 'C:\KestrunCheck\kestrun.exe' >/dev/null 2>&1) ||
        fail "the second kestrun.exe did not end by itself"
    wait_for "$work/Kestrun.log" "Window shown for a second start" 30 ||
        fail "the running kestrun.exe did not take over the second start"
    (($(grep -cF "Program started" "$work/Kestrun.log") == 1)) ||
        fail "the second kestrun.exe started a second instance"
    say "a second start handed over to the running kestrun.exe (Window shown for a second start)"
    wait_for "$work/Kestrun.log" 'Image started: C:\KestrunCheck\tools\sleeper.exe' 60 ||
        fail "the supervised program was not started"
    wait_for "$work/sleeper.pid" "" 30 || fail "the supervised program did not write its id"
    local pid
    pid=$(tr -d '\r\n' <"$work/sleeper.pid")
    say "the supervised program runs as Windows process $pid; ending it"
    "$wine" taskkill /f /pid "$pid" >/dev/null 2>&1 || fail "taskkill /pid $pid failed"
    wait_for "$work/Kestrun.log" 'Image started: C:\KestrunCheck\tools\sleeper.exe' 60 2 ||
        fail "the supervised program was not started again after it ended"
    say "Kestrun.log: started again after it was ended"
    wait_for "$work/KbmBackup.log" "Backup completed." 120 || fail "kbm.exe did not complete a backup"
    [[ -f $work/backup/KestrunCheck/data/ledger.csv ]] ||
        fail "the backed-up file is not in C:\\KestrunCheck\\backup\\KestrunCheck\\data"
    say "KbmBackup.log: Backup completed; ledger.csv is in the mirror"
    end_started "$windows_pid"
}

check_installer() {
    local msi
    msi=$(ls "$build"/kestrun-*.msi | head -n 1)
    [[ -f $msi ]] || fail "no installer in $build"
    start_display
    "$wine" cmd.exe /c exit >/dev/null 2>&1 || true
    local target="$drive_c/Program Files/Kestrun"
    "$wine" msiexec /x "$(winepath_of "$msi")" /qn >/dev/null 2>&1 || true # an earlier run's
    say "installing $(basename "$msi")"
    # With "start with Windows" (INSTALLLEVEL=1000), which a plain install leaves out.
    "$wine" msiexec /i "$(winepath_of "$msi")" /qn INSTALLLEVEL=1000 >/dev/null 2>&1 ||
        fail "msiexec /i failed"
    for f in kestrun.exe kbm.exe kvu.exe; do
        [[ -f $target/$f ]] || fail "$f is not in C:\\Program Files\\Kestrun"
    done
    [[ -n $(find "$drive_c" -iname Kestrun.lnk -path '*Start Menu*') ]] ||
        fail "no Start-menu entry Kestrun"
    run_value | grep -qF '"C:\Program Files\Kestrun\kestrun.exe"' ||
        fail "no Run value naming the installed kestrun.exe"
    say "installed: the three programs, the Start-menu entry, the Run value"
    logs=("$target/Kestrun.log")
    (cd "$target" && exec "$wine" 'C:\Program Files\Kestrun\kestrun.exe' >/dev/null 2>&1) &
    local kestrun=$!
    started+=($kestrun)
    wait_for "$target/Kestrun.log" "Program started" 90 ||
        fail "the installed kestrun.exe wrote no \"Program started\""
    say "the installed kestrun.exe started"
    kill "$kestrun" 2>/dev/null || true
    wait "$kestrun" 2>/dev/null || true
    "$wine" msiexec /x "$(winepath_of "$msi")" /qn >/dev/null 2>&1 || fail "msiexec /x failed"
    for f in kestrun.exe kbm.exe kvu.exe; do
        [[ ! -e $target/$f ]] || fail "$f is still in C:\\Program Files\\Kestrun after msiexec /x"
    done
    [[ -f $target/Kestrun.log ]] || fail "the removal took the user's Kestrun.log with it"
    [[ -z $(find "$drive_c" -iname Kestrun.lnk -path '*Start Menu*') ]] ||
        fail "the Start-menu entry stays after msiexec /x"
    ! run_value | grep -qF kestrun.exe || fail "the Run value stays after msiexec /x"
    say "removed again; Kestrun.log stays"
}

# The update engine across the two systems. Each client's Zelmo (5.2.0.117) is older than its
# server's (5.2.0.118) and the web site is down, so a client that got the server's state and
# version over the wire goes on to the web and logs "Could not connect: " with the site.
check_lan() {
    [[ -x $linux_bin/kestrun ]] || fail "no Linux kestrun in $linux_bin (make build makes it)"
    local pe=$build/tests/pe port web lan=$build/lan-check
    port=$(free_port)
    web="http://127.0.0.1:$(free_port)/Zelmov5" # nothing listens there
    rm -rf "$lan"
    reg_set Period REG_DWORD 0
    reg_set Promt REG_DWORD 0
    reg_set Update REG_DWORD 0
    reg_set Uport REG_DWORD "$port"
    reg_set Uhttp REG_SZ "$web"

    # kestrun.exe serves, Linux Kestrun asks.
    make_working_folder KestrunServer
    cp "$pe/zelmo32_5_2_0_118.exe" "$work/Zelmo_serv.exe"
    : >"$work/progs.lst"
    reg_set Umode REG_DWORD 1
    reg_set Ufile REG_SZ 'C:\KestrunServer\Zelmo_serv.exe'
    start_windows_kestrun KestrunServer
    linux_kestrun "$lan/client" "Umode=2" "Uhost=127.0.0.1" "Uport=$port" "Uhttp=$web" \
        "Ufile=$pe/zelmo_5_2_0_117.exe"
    logs=("$lan/client/Kestrun.log" "$work/Kestrun.log")
    wait_for "$lan/client/Kestrun.log" "Could not connect: $web" 90 ||
        fail "the Linux update client got no version from kestrun.exe's update server"
    say "kestrun.exe's update server answered a Linux update client (its Kestrun.log: Could not connect: $web)"
    end_started "$windows_pid" "$linux_pid"

    # Linux Kestrun serves, kestrun.exe asks.
    linux_kestrun "$lan/server" "Umode=1" "Uport=$port" "Ufile=$pe/zelmo32_5_2_0_118.exe"
    make_working_folder KestrunClient
    cp "$pe/zelmo_5_2_0_117.exe" "$work/Zelmo.exe"
    : >"$work/progs.lst"
    reg_set Umode REG_DWORD 2
    reg_set Uhost REG_SZ 127.0.0.1
    reg_set Ufile REG_SZ 'C:\KestrunClient\Zelmo.exe'
    start_windows_kestrun KestrunClient
    logs=("$work/Kestrun.log" "$lan/server/Kestrun.log")
    wait_for "$work/Kestrun.log" "Could not connect: $web" 90 ||
        fail "kestrun.exe's update client got no version from the Linux update server"
    say "a Linux update server answered kestrun.exe's update client (its Kestrun.log: Could not connect: $web)"
    end_started "$windows_pid" "$linux_pid"
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# start_windows_kestrun <folder under C:>: kestrun.exe in that working folder, until it has
# started; its id in windows_pid.
start_windows_kestrun() {
    (cd "$drive_c/$1" && exec "$wine" "C:\\$1\\kestrun.exe" >/dev/null 2>&1) &
    windows_pid=$!
    started+=($windows_pid)
    wait_for "$drive_c/$1/Kestrun.log" "Program started" 90 ||
        fail "kestrun.exe in C:\\$1 wrote no \"Program started\""
}

# linux_kestrun <folder> <Name=value...>: the Linux kestrun in a working folder of its own with
# these settings; its id in linux_pid.
linux_kestrun() {
    local dir=$1
    shift
    mkdir -p "$dir/config/Tavisoft" "$dir/run"
    chmod 700 "$dir/run"
    printf '[General]\nPeriod=0\nPromt=0\nUpdate=0\nUpull=10\nUpost=5\n' >"$dir/config/Tavisoft/Kestrun.conf"
    printf '%s\n' "$@" >>"$dir/config/Tavisoft/Kestrun.conf"
    chmod 600 "$dir/config/Tavisoft/Kestrun.conf"
    : >"$dir/progs.lst"
    (cd "$dir" && XDG_CONFIG_HOME=$dir/config XDG_RUNTIME_DIR=$dir/run QT_QPA_PLATFORM=offscreen \
        exec "$linux_bin/kestrun" >"$dir/kestrun.out" 2>&1) &
    linux_pid=$!
    started+=($linux_pid)
}

end_started() { # end_started <id...>: ends processes this script started, and waits for them
    for pid in "$@"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

check_screenshots() {
    start_display
    "$wine" cmd.exe /c exit >/dev/null 2>&1 || true
    local out=$build/screenshots
    rm -rf "$out"
    mkdir -p "$out"
    for program in kestrun_screenshots ui_lists_screenshots kbm_screenshots; do
        QT_QPA_PLATFORM=offscreen timeout 120 "$wine" "$bin/$program.exe" "$(winepath_of "$out")" \
            >/dev/null 2>&1 || fail "$program.exe failed"
    done
    make_working_folder KestrunShots m # its console window stays out of the picture
    reg_set Umode REG_DWORD 0
    reg_set Period REG_DWORD 12
    # The last backup an hour ago, as kbm leaves its record: the window shows that outcome and
    # the next backup in eleven hours, and no backup window covers it.
    local hour_ago appdata
    hour_ago=$(date -d '1 hour ago' +%Y%m%d-%H%M%S)
    reg_set Lastbackup REG_SZ "$hour_ago"
    reg_set Lastgoodbackup REG_SZ "$hour_ago"
    appdata=$("$wine" cmd.exe /c echo %APPDATA% 2>/dev/null | tr -d '\r')
    appdata=$("$wine" winepath.exe -u "$appdata" 2>/dev/null)
    [[ -d $appdata ]] || fail "no %APPDATA% folder in the Wine prefix"
    mkdir -p "$appdata/KBM"
    printf '[General]\r\nStarted=%s\r\nResult=completed\r\nCopied=47\r\nBytes=1843200\r\nFailed=0\r\nDestination=C:\\KestrunShots\\backup\r\nReason=\r\n' \
        "$hour_ago" >"$appdata/KBM/last-run.txt"
    start_windows_kestrun KestrunShots
    # Its status lines are in once the first beat has checked the supervised program.
    wait_for "$work/Kestrun.log" 'Image started: C:\KestrunShots\tools\sleeper.exe' 60 ||
        fail "kestrun.exe in C:\\KestrunShots did not start its supervised program"
    sleep 2
    import -window root "$out/desktop.png" || fail "no picture of the virtual screen"
    end_started "$windows_pid"
    local count
    count=$(find "$out" -name '*.png' | wc -l)
    ((count > 1)) || fail "no screenshots in $out"
    say "$count screenshots in $out"
}

run_value() {
    "$wine" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Kestrun 2>/dev/null |
        tr -d '\r' || true
}

winepath_of() { # the Windows path of a file of this system (Wine's Z: drive)
    printf 'Z:%s' "${1//\//\\}"
}

case "$mode" in
"") check_run && check_lan ;;
--installer) check_installer ;;
--screenshots) check_screenshots ;;
*) echo "usage: windows-check.sh [--installer|--screenshots]" >&2 && exit 2 ;;
esac
say "passed"
