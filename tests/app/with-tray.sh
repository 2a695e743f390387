#!/bin/sh
# Runs a test program on a private X server that has a notification area, so that what the
# window does when a tray is there can be tested. Exits 77 (skipped) when Xvfb or trayer is
# not installed.
#
#   with-tray.sh PROGRAM [ARGUMENTS...]
set -u

command -v Xvfb >/dev/null 2>&1 || { echo "Xvfb is not installed: skipped"; exit 77; }
command -v trayer >/dev/null 2>&1 || { echo "trayer is not installed: skipped"; exit 77; }

work=$(mktemp -d) || exit 1
xvfb_pid=
trayer_pid=
cleanup() {
    [ -n "$trayer_pid" ] && kill "$trayer_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The server picks a free display and writes its number once it accepts clients.
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
tries=0
until [ -s "$work/display" ]; do
    if ! kill -0 "$xvfb_pid" 2>/dev/null || [ "$tries" -ge 600 ]; then
        echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
done
DISPLAY=":$(cat "$work/display")"
export DISPLAY

trayer --edge bottom >"$work/trayer.log" 2>&1 &
trayer_pid=$!

# The test waits for the notification area itself.
QT_QPA_PLATFORM=xcb "$@"
