#!/bin/sh
# The real program on an X server of its own, with flip to tray on. With trayer as the
# notification-area host it starts hidden behind its icon, a right click opens the menu
# on the release, a left click on the icon shows the window and a second hides it; with
# no host it starts minimised, not hidden.
#   tray_xvfb_test.sh <trovix binary> [screenshot.png]
# Exits 77 (skipped) without xvfb-run, xdotool, xwininfo, xprop or trayer.
set -eu
binary=$1
shot=${2:-}

if [ "${TROVIX_INSIDE_XVFB:-}" != 1 ]; then
  for tool in xvfb-run xdotool xwininfo xprop trayer; do
    command -v $tool >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
  TROVIX_INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 640x480x24" "$0" "$@"
fi

scratch=$(mktemp -d)
host=
trap 'rm -rf "$scratch"; [ -z "$host" ] || kill "$host" 2>/dev/null' EXIT
export XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")" && pwd)/xcb_lsan.supp"
mkdir -p "$XDG_CONFIG_HOME/Trovix"
printf '[Config]\r\nEnableFlipToTray=Yes\r\n' > "$XDG_CONFIG_HOME/Trovix/trovix.ini"

fail() { echo "$*"; exit 1; }
viewable() { xwininfo -id "$window" | grep -q IsViewable; }
# Waits up to 5 s for the window to be shown (yes) or not (no).
await() {
  for _ in $(seq 50); do
    if viewable; then [ "$1" = yes ] && return 0; else [ "$1" = no ] && return 0; fi
    sleep 0.1
  done
  fail "$2"
}
# The main window; Qt also gives a 1 by 1 helper window the title.
main_window() {
  for w in $(xdotool search --name '^Trovix$'); do
    xwininfo -id "$w" | grep -q 'Width: 1$' || { echo "$w"; return; }
  done
}
start() {
  "$binary" &
  pid=$!
  window=
  for _ in $(seq 100); do
    window=$(main_window)
    [ -z "$window" ] || break
    sleep 0.2
  done
  [ -n "$window" ] || fail "no window"
  sleep 1
}
finish() {
  kill "$pid"
  wait "$pid" || true
}

# With a host.
trayer --edge top --align right --widthtype request --height 32 --SetDockType false --SetPartialStrut false \
  --transparent false --tint 0x404040 &
host=$!
panel=$(timeout 10 xdotool search --sync --name '^panel$' | head -n 1)
start
viewable && fail "the window is shown; it should be in the notification area"
# The panel holds one icon, ours.
xwininfo -tree -id "$panel" | grep -q '"trovix"' || fail "no icon in the notification area"
[ -z "$shot" ] || import -window root -crop 64x40+576+0 "$shot"
# Apart by more than a double-click time: the second press of a double click is not a press.
click_icon() { sleep 0.6; xdotool mousemove --window "$panel" 12 16 click 1; }
# Pop-up menus are the program's top-level windows named like the program.
menus() { xwininfo -root -children | grep -c '"trovix": ("trovix"' || true; }
xdotool mousemove --window "$panel" 12 16 mousedown 3
sleep 0.5
[ "$(menus)" = 0 ] || fail "the menu opened on the right press"
xdotool mouseup 3
sleep 0.5
[ "$(menus)" = 1 ] || fail "no menu on the right release"
xdotool key Escape
click_icon
await yes "a left click on the icon did not show the window"
click_icon
await no "a second left click did not hide the window"
click_icon
await yes "a third left click did not show the window again"
xdotool windowfocus --sync "$window"
xdotool key Escape
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "exit code $status"
xwininfo -tree -id "$panel" | grep -q '"trovix"' && fail "the icon stayed after the exit"
kill "$host"
wait "$host" 2>/dev/null || true
host=

# Without a host.
start
# Shown, and minimised as far as the program can say so without a window manager.
viewable || fail "without a host the window is hidden"
xprop -id "$window" _NET_WM_STATE | grep -q _NET_WM_STATE_HIDDEN || fail "without a host the window is not minimised"
finish
echo "the window lives in the notification area, and minimised without one"
