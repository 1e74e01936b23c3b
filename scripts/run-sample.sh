#!/usr/bin/env bash
# Starts Kestrun on the sample working folder build/sample, made once from examples/ (delete it
# to start afresh). The sample has its own settings and backup data folders, so it never touches
# the user's own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
sample=$build/sample
if [[ ! -d $sample ]]; then
    cp -r "$root/examples" "$sample"
    for f in progs.lst backup.lst xbackup.lst config/Tavisoft/Kestrun.conf; do
        sed -i "s|@SAMPLE@|$sample|g" "$sample/$f"
    done
    chmod 600 "$sample/config/Tavisoft/Kestrun.conf"
fi
# The backup destination stands for a mounted backup disk: kbm never creates a missing one.
mkdir -p "$sample/backup-destination"
export XDG_CONFIG_HOME=$sample/config
export APPDATA=$sample/appdata
cd "$sample"
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]]; then
    echo "No display: Kestrun runs headless."
fi
echo "Working folder: $sample (log: $sample/Kestrun.log). Stop it with Ctrl+C."
exec "$build/bin/kestrun"
