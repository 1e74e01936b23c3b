#!/usr/bin/env bash
# Starts Kestrun on a copy of examples/ in the build folder (the sample working folder).
# The copy is made once, so logs and lists survive between runs; delete it to start afresh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
sample=$build/sample
if [[ ! -d $sample ]]; then
    cp -r "$root/examples" "$sample"
fi
cd "$sample"
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]]; then
    echo "No display: Kestrun runs headless (offscreen). Its log is $sample/Kestrun.log"
fi
echo "Working folder: $sample"
exec "$build/bin/kestrun"
