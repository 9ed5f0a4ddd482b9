# Sourced by the X server tests: an X server of the test's own, the openbox window manager,
# as a desktop has one, and what the tests ask of the X server about the main window.
# Each wait lasts up to 5 s and fails the test with the message it is given.

fail() { echo "$*"; exit 1; }

# Xvfb on a display number it finds free itself (-displayfd), exported as DISPLAY once it
# answers. Not xvfb-run: that does not wait for its server to end, and a server still
# ending removes the socket of the next test's server on the same display number.
start_x_server() {
  x_number=$(mktemp)
  Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$x_number" >/dev/null 2>&1 &
  x_server=$!
  for _ in $(seq 100); do
    [ -s "$x_number" ] && break
    sleep 0.1
  done
  [ -s "$x_number" ] || fail "Xvfb did not start"
  DISPLAY=:$(cat "$x_number")
  export DISPLAY
  unset XAUTHORITY WAYLAND_DISPLAY
  rm -f "$x_number"
}

# Ends the X server and waits until it has, so its display number is free again.
stop_x_server() {
  [ -z "${x_server:-}" ] || { kill "$x_server" 2>/dev/null || true; wait "$x_server" 2>/dev/null || true; }
  x_server=
}

# openbox, up once it has claimed the screen; ended with the test.
start_window_manager() {
  wm_log=$(mktemp)
  openbox --sm-disable >"$wm_log" 2>&1 &
  wm=$!
  for _ in $(seq 200); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && { rm -f "$wm_log"; return 0; }
    sleep 0.1
  done
  cat "$wm_log"
  fail "openbox did not start"
}

# The main window, once it exists; Qt also gives a 1 by 1 helper window the title.
main_window() {
  for w in $(xdotool search --name '^Trovix$' 2>/dev/null); do
    xwininfo -id "$w" 2>/dev/null | grep -q 'Width: 1$' || { echo "$w"; return; }
  done
}

viewable() { [ -n "$window" ] && xwininfo -id "$window" 2>/dev/null | grep -q IsViewable; }

# An ordinary window the user is working with: mapped in the normal state, the active
# window, and above every other client but the panel (a dock, stacked above all).
in_front() {
  viewable || return 1
  xprop -id "$window" WM_STATE 2>/dev/null | grep -q 'window state: Normal' || return 1
  xprop -id "$window" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_HIDDEN && return 1
  active=$(xprop -root _NET_ACTIVE_WINDOW | sed 's/.*# //')
  [ "$((active))" = "$((window))" ] || return 1
  top=$(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //' | tr ',' '\n' |
        while read -r w; do [ "$((w))" = "$((${panel:-0}))" ] || echo "$w"; done | tail -n 1)
  [ "$((top))" = "$((window))" ]
}

# Waits for the main window to be created, then for it to be in front (front) or not
# shown at all (hidden).
await_window() {
  for _ in $(seq 50); do
    [ -n "${window:-}" ] || window=$(main_window)
    case $1 in
      front) in_front && return 0 ;;
      hidden) viewable || return 0 ;;
    esac
    sleep 0.1
  done
  fail "$2"
}

# Pop-up menus are the program's top-level windows named like the program.
menus() { xwininfo -root -children | grep -c '"trovix": ("trovix"' || true; }
await_menu() {
  for _ in $(seq 50); do
    [ "$(menus)" = 1 ] && { sleep 0.2; return 0; }
    sleep 0.1
  done
  fail "$1"
}

keys() { xdotool key --delay 80 "$@"; sleep 0.3; }
