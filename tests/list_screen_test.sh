#!/bin/sh
# Runs the packet list's screen tests on an X server of their own with the openbox window
# manager, as a desktop has one; the X server and openbox end with this script.
#   list_screen_test.sh <test program> [its arguments]
# Exits 77 (skipped) without Xvfb, openbox, xdotool or xprop.
set -eu
for tool in Xvfb openbox xdotool xprop; do
  command -v $tool >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
. "$(dirname "$0")/x_desktop.sh"
wm=
trap '[ -z "$wm" ] || kill "$wm" 2>/dev/null || true; stop_x_server' EXIT
trap 'exit 1' HUP INT TERM PIPE
start_x_server
start_window_manager
export QT_QPA_PLATFORM=xcb
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")" && pwd)/xcb_lsan.supp"
"$@"
