#!/usr/bin/env bash
# Runs a program on a virtual X display, waits, and saves a picture of the screen.
#   scripts/screenshot.sh <out.png> <seconds> <program> [args...]
# Needs xvfb, xauth and imagemagick: `make screenshot-setup` installs them.
set -euo pipefail
out=$1 wait=$2
shift 2
xvfb-run -a -s "-screen 0 800x500x24" bash -c '
    "$@" & pid=$!
    sleep '"$wait"'
    import -window root "'"$out"'"
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
' _ "$@"
