#!/usr/bin/env bash
# The Windows programs as a whole under Wine, on a virtual display of their own, in the Wine
# prefix of the Windows build folder ($BUILD):
#   windows-check.sh                kestrun.exe starts, supervises a Windows program (started
#                                   again when it is killed) and launches kbm.exe, which backs a
#                                   folder up
#   windows-check.sh --installer    the installer installs the programs (msiexec /i /qn), the
#                                   installed kestrun.exe starts, msiexec /x removes them and
#                                   leaves the lists and logs
# Each step prints one line; a failed step prints the logs and ends the check with status 1.
set -euo pipefail
build=${BUILD:?BUILD names the Windows build folder}
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

# A working folder C:\<name> with the three programs, a supervised program and a backup list.
make_working_folder() {
    local name=$1
    work=$drive_c/$name
    rm -rf "$work"
    mkdir -p "$work/tools" "$work/data" "$work/backup"
    cp "$bin/kestrun.exe" "$bin/kbm.exe" "$bin/kvu.exe" "$work/"
    cp "$bin/windows_platform_helper.exe" "$work/tools/sleeper.exe"
    printf 'C:\\%s\\tools\\sleeper.exe?npid C:\\%s\\sleeper.pid\t0,0,0\r\n' "$name" "$name" \
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
    started+=($!)
    wait_for "$work/Kestrun.log" "Program started" 90 || fail "no \"Program started\" in Kestrun.log"
    say "Kestrun.log: Program started"
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

run_value() {
    "$wine" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v Kestrun 2>/dev/null |
        tr -d '\r' || true
}

winepath_of() { # the Windows path of a file of this system (Wine's Z: drive)
    printf 'Z:%s' "${1//\//\\}"
}

case "$mode" in
"") check_run ;;
--installer) check_installer ;;
*) echo "usage: windows-check.sh [--installer]" >&2 && exit 2 ;;
esac
say "passed"
