#!/usr/bin/env bash
# Tests of the Debian package: nothing is installed on this machine, the package is unpacked with
# dpkg-deb into a temporary folder and its programs run from there.
#   package_test.sh build BUILD_DIR OUT_DIR CPACK   builds the package into OUT_DIR, checks its contents
#   package_test.sh start_unpacked BUILD_DIR OUT_DIR the unpacked kestrun starts headless, SIGTERM ends it
#   package_test.sh service_command BUILD_DIR OUT_DIR the unit file's own command line, the same way
#   package_test.sh removal_script BUILD_DIR OUT_DIR  prerm and postrm's remove and purge on temporary folders
#   package_test.sh install_user BUILD_DIR          cmake --install into a user's folder, its unit run
set -euo pipefail

mode=$1 build=$2 out=$3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

the_deb() {
    local debs=("$out"/kestrun_*_amd64.deb)
    [[ -f ${debs[0]} ]] || fail "no package in $out"
    echo "${debs[0]}"
}

tmp=$(mktemp -d)
pid=
cleanup() {
    if [[ -n $pid ]]; then
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    # Whatever else runs from the unpacked folders (a Kestrun the updater started when a check
    # failed) would hold the user's instance lock long after the test.
    pkill -KILL -f "^$tmp/" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

# Builds the package and checks what an installation needs is in it.
build_deb() {
    local cpack=$1
    rm -rf "$out"
    mkdir -p "$out"
    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
        { cat "$out/cpack.log" >&2; fail "cpack failed"; }
    local deb
    deb=$(the_deb)
    [[ $(basename "$deb") == kestrun_$(dpkg-deb -f "$deb" Version)_amd64.deb ]] ||
        fail "package file name $(basename "$deb")"

    # The runtime libraries the programs link, found by dpkg-shlibdeps.
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libcurl4; do
        [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
    done

    dpkg-deb -x "$deb" "$tmp/root"
    local root=$tmp/root
    for f in opt/kestrun/kestrun opt/kestrun/kbm opt/kestrun/kvu; do
        [[ -x $root/$f ]] || fail "$f missing or not executable"
    done
    for f in usr/share/icons/hicolor/scalable/apps/kestrun.svg \
        usr/share/icons/hicolor/48x48/apps/kestrun.png \
        usr/share/man/man1/kestrun.1 usr/share/man/man1/kbm.1 usr/share/man/man1/kvu.1; do
        [[ -s $root/$f ]] || fail "$f missing"
    done
    local entry=$root/usr/share/applications/kestrun.desktop
    grep -qx 'Exec=/opt/kestrun/kestrun' "$entry" || fail "menu entry does not start /opt/kestrun/kestrun"
    grep -qx 'Path=/opt/kestrun' "$entry" || fail "menu entry does not start in the working folder"
    grep -qx 'Icon=kestrun' "$entry" || fail "menu entry has not the program icon"

    # The maintainer scripts that give the group its write access to the working folder.
    dpkg-deb -e "$deb" "$tmp/control"
    [[ -x $tmp/control/postinst && -x $tmp/control/postrm ]] || fail "maintainer scripts missing"
    grep -q 'chmod 2775 "$dir"' "$tmp/control/postinst" || fail "postinst does not open the folder"
    grep -qx 'dir="/opt/kestrun"' "$tmp/control/postinst" || fail "postinst names another folder"
    # The programs keep their version note through stripping: the self-update reads it.
    readelf -n "$root/opt/kestrun/kestrun" | grep -q fileversion || fail "kestrun lost its version note"
}

# Starts a program with the given working folder and environment, in the background; sets pid.
start() {
    local dir=$1
    shift
    mkdir -p "$tmp/config" "$tmp/xdg" "$tmp/home" "$tmp/run"
    chmod 700 "$tmp/run"
    (cd "$dir" && exec env -i PATH=/usr/bin:/bin HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/config" \
        XDG_CONFIG_DIRS="$tmp/xdg" XDG_RUNTIME_DIR="$tmp/run" APPDATA="$tmp/appdata" \
        KESTRUN_WEB_BASE=http://127.0.0.1:9/KSN "$@") &
    pid=$!
}

# Waits for "Program started" in the working folder's log, then checks SIGTERM ends it at once.
started_then_terminated() {
    local log=$1/Kestrun.log
    for _ in $(seq 200); do
        [[ -f $log ]] && grep -q 'Program started' "$log" && break
        kill -0 "$pid" 2>/dev/null || fail "kestrun ended before it started: $(cat "$log" 2>/dev/null)"
        sleep 0.05
    done
    grep -q 'Program started' "$log" 2>/dev/null || fail "no \"Program started\" in $log"
    kill -TERM "$pid"
    for _ in $(seq 20); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && fail "kestrun still runs 1 s after SIGTERM"
    local status=0
    wait "$pid" || status=$?
    pid=
    # A clean end: Kestrun handles SIGTERM and ends with status 0.
    [[ $status -eq 0 ]] || fail "kestrun ended with status $status, not cleanly on SIGTERM"
}

# Runs the command lines of a unit file the way systemd would: its ExecStartPre= to its end,
# then its ExecStart=, each in its WorkingDirectory= with its Environment= (which marks the
# service) and the INVOCATION_ID systemd gives every run of a service. ROOT is where the unit's absolute paths lie.
run_unit_command() {
    local unit=$1 root=$2
    [[ -f $unit ]] || fail "no user unit $unit"
    local exec_line pre_line workdir envs words pre
    exec_line=$(sed -n 's/^ExecStart=//p' "$unit")
    pre_line=$(sed -n 's/^ExecStartPre=//p' "$unit")
    workdir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
    mapfile -t envs < <(sed -n 's/^Environment=//p' "$unit")
    [[ -n $exec_line && -n $workdir ]] || fail "unit lacks ExecStart= or WorkingDirectory="
    # The updater runs before every start: it puts a downloaded Kestrun in place.
    [[ $pre_line == "-$workdir/kvu" ]] || fail "unit does not run the updater first: $pre_line"
    local invocation=INVOCATION_ID=0123456789abcdef0123456789abcdef
    read -r -a pre <<<"$pre_line"
    start "$root$workdir" DISPLAY=:97 "$invocation" "${envs[@]}" "$root${pre[0]#[-@+!:]}"
    local status=0
    wait "$pid" || status=$?
    pid=
    [[ $status -eq 0 ]] || fail "the updater before the start ended with $status"
    # Without a download it did nothing: no line, no Kestrun of its own.
    [[ ! -e $root$workdir/Kestrun.log ]] || fail "the updater wrote: $(cat "$root$workdir/Kestrun.log")"
    read -r -a words <<<"$exec_line"
    # A display that does not exist: only the unit's own environment keeps Qt off it.
    start "$root$workdir" DISPLAY=:97 "$invocation" "${envs[@]}" "$root${words[0]#[-@+!:]}" "${words[@]:1}"
    started_then_terminated "$root$workdir"
}

# The removal script, run on temporary folders: dpkg's "remove" keeps the working folder, its
# "purge" removes it and the machine's autostart entry naming it before the group goes.
removal_script() {
    local deb
    deb=$(the_deb)
    dpkg-deb -e "$deb" "$tmp/control"
    local work=$tmp/opt/kestrun entry=$tmp/autostart/kestrun.desktop
    mkdir -p "$work/Drop" "$tmp/autostart" "$tmp/stubs"
    # The group tools only record their calls, and whether the folder was still there.
    for tool in getent groupdel; do
        printf '#!/bin/sh\necho "%s $* $([ -e "%s" ] && echo folder-left)" >>"%s"\n' \
            "$tool" "$work" "$tmp/calls" >"$tmp/stubs/$tool"
        chmod +x "$tmp/stubs/$tool"
    done
    sed -e "s|^dir=.*|dir=\"$work\"|" -e "s|^\( *autostart=\).*|\1$entry|" \
        "$tmp/control/postrm" >"$tmp/postrm"
    grep -q "^dir=\"$work\"" "$tmp/postrm" && grep -q "autostart=$entry" "$tmp/postrm" ||
        fail "postrm names its folder or autostart entry otherwise"
    echo "log" >"$work/Kestrun.log"
    printf '[Desktop Entry]\nExec=%s/kestrun\n' "$work" >"$entry"

    # prerm ends the Kestrun that runs from the folder (a copy of sleep stands in), and no other.
    sed -e "s|^dir=.*|dir=\"$work\"|" "$tmp/control/prerm" >"$tmp/prerm"
    mkdir -p "$tmp/other"
    cp /bin/sleep "$work/kestrun"
    cp /bin/sleep "$tmp/other/kestrun"
    "$work/kestrun" 60 &
    local ours=$!
    "$tmp/other/kestrun" 60 &
    local other=$!
    sh "$tmp/prerm" upgrade
    kill -0 "$ours" 2>/dev/null || fail "prerm upgrade ended the running Kestrun"
    sh "$tmp/prerm" remove
    wait "$ours" 2>/dev/null || true
    kill -0 "$ours" 2>/dev/null && fail "prerm remove left the Kestrun of its folder running"
    kill -0 "$other" 2>/dev/null || fail "prerm remove ended another folder's Kestrun"
    kill -KILL "$other"
    wait "$other" 2>/dev/null || true
    rm -f "$work/kestrun"

    PATH=$tmp/stubs:$PATH sh "$tmp/postrm" remove
    [[ -f $work/Kestrun.log && -f $entry && ! -e $tmp/calls ]] || fail "remove took more than the package"
    PATH=$tmp/stubs:$PATH sh "$tmp/postrm" purge
    [[ ! -e $work ]] || fail "purge left $work"
    [[ ! -e $entry ]] || fail "purge left the autostart entry"
    grep -qx 'groupdel kestrun ' "$tmp/calls" || fail "group not dropped after the folder: $(cat "$tmp/calls")"

    # An entry that starts another installation stays.
    mkdir -p "$work"
    printf '[Desktop Entry]\nExec=/home/alice/kestrun/kestrun\n' >"$entry"
    PATH=$tmp/stubs:$PATH sh "$tmp/postrm" purge
    [[ -f $entry ]] || fail "purge removed another installation's autostart entry"
}

unpack() {
    local deb
    deb=$(the_deb)
    dpkg-deb -x "$deb" "$tmp/root"
}

case $mode in
build)
    build_deb "$4"
    ;;
start_unpacked)
    unpack
    work=$tmp/root/opt/kestrun
    start "$work" QT_QPA_PLATFORM=offscreen "$work/kestrun"
    started_then_terminated "$work"
    ;;
removal_script)
    removal_script
    ;;
service_command)
    unpack
    run_unit_command "$tmp/root/usr/lib/systemd/user/kestrun.service" "$tmp/root"
    ;;
install_user)
    # A user's own installation: everything below their home, the unit naming their folder.
    home=$tmp/home prefix=$tmp/home/kestrun
    HOME=$home XDG_DATA_HOME= cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
        { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }
    outside=$(sed -n -E 's/^-- (Installing|Up-to-date): //p' "$tmp/install.log" | grep -v "^$home/" || true)
    [[ -z $outside ]] || fail "installed outside the user's home: $outside"
    for f in kestrun kbm kvu; do [[ -x $prefix/$f ]] || fail "$prefix/$f missing"; done
    share=$home/.local/share
    grep -qx "Exec=$prefix/kestrun" "$share/applications/kestrun.desktop" ||
        fail "menu entry does not start $prefix/kestrun"
    [[ -s $share/icons/hicolor/scalable/apps/kestrun.svg && -s $share/man/man1/kestrun.1 ]] ||
        fail "icon or man page missing"
    run_unit_command "$share/systemd/user/kestrun.service" ""
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
echo "ok: $mode"
