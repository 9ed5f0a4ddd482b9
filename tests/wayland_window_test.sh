#!/bin/sh
# Runs a window test program on a headless weston of its own: a private runtime folder
# (mode 0700) holds the compositor's socket, and the compositor ends with this script.
#   wayland_window_test.sh <test program> [its arguments]
# Exits 77 (skipped) without weston or its headless backend.
set -eu
command -v weston >/dev/null || { echo "skipped: no weston"; exit 77; }

runtime=$(mktemp -d)
chmod 0700 "$runtime"
compositor=
trap '[ -z "$compositor" ] || { kill "$compositor" 2>/dev/null; wait "$compositor" 2>/dev/null; }; rm -rf "$runtime"' EXIT
# Killed (a CTest timeout, a closed pipe), the shell would skip the EXIT trap and leave
# the compositor running.
trap 'exit 1' HUP INT TERM PIPE
export XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY=trovix-test QT_QPA_PLATFORM=wayland
unset DISPLAY
# Under AddressSanitizer: whole allocation stacks (the plugin's libraries have no frame
# pointers), so that the suppressions can name the plugin's own functions.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")" && pwd)/wayland_lsan.supp"
# No session bus: nothing a desktop would offer (a notification-area host, say) is there.
unset DBUS_SESSION_BUS_ADDRESS
weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --idle-time=0 >"$runtime/weston.log" 2>&1 &
compositor=$!
for _ in $(seq 100); do
  [ -S "$runtime/$WAYLAND_DISPLAY" ] && break
  kill -0 "$compositor" 2>/dev/null || break
  sleep 0.1
done
if [ ! -S "$runtime/$WAYLAND_DISPLAY" ]; then
  cat "$runtime/weston.log"
  echo "weston did not open its socket"
  exit 1
fi
"$@"
