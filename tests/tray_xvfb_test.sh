#!/bin/sh
# The real program on an X server of its own with the openbox window manager, and a
# notification-area host: trayer (XEmbed) or a StatusNotifierWatcher on a private session
# bus (sni, as KDE Plasma and GNOME's AppIndicator extension speak it). Wherever the window
# goes behind its icon (a first run, a start with flip to tray on, a minimise, switching
# flip to tray on) one activation of the icon brings it back as the active window in
# front, where it was, and a second hides it; "e&xit" and "f&lip to tray" chosen from the
# icon's menu work as from the window's. With XEmbed also: the menu opens on the right
# release, not the press, and with no host at all the window starts minimised rather than
# hidden.
#   tray_xvfb_test.sh <trovix binary> xembed|sni [screenshot.png]
# Exits 77 (skipped) when a tool it needs is missing.
set -eu
binary=$1
host_kind=$2
shot=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3  # Debian's, which python3-dbus belongs to

if [ "${TROVIX_INSIDE_BUS:-}" != 1 ]; then
  for tool in Xvfb dbus-run-session dbus-send openbox xdotool xwininfo xprop trayer; do
    command -v $tool >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
  if [ "$host_kind" = sni ]; then
    $python -c 'import dbus, gi' 2>/dev/null || { echo "skipped: no python3-dbus or python3-gi"; exit 77; }
  fi
  # A session bus of its own in both cases: with XEmbed it simply has no watcher on it.
  TROVIX_INSIDE_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

. "$here/x_desktop.sh"
. "$here/tray_hosts.sh"
scratch=$(mktemp -d)
wm= host= pid= panel=
trap 'rm -rf "$scratch"; for p in $pid $host $wm; do kill "$p" 2>/dev/null || true; done; stop_x_server' EXIT
start_x_server
export XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=xcb
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/xcb_lsan.supp"
ini="$XDG_CONFIG_HOME/Trovix/trovix.ini"
start_window_manager

icon_shown() {
  if [ "$host_kind" = sni ]; then
    [ -n "$(item)" ] && ! grep -qx "gone $(item)" "$scratch/items"
  else
    xwininfo -tree -id "$panel" | grep -q '"trovix"'
  fi
}
await_icon() {
  for _ in $(seq 50); do
    if icon_shown; then [ "$1" = yes ] && return 0; else [ "$1" = no ] && return 0; fi
    sleep 0.1
  done
  fail "$2"
}
# The icon's menu: a right click, or StatusNotifierItem's ContextMenu.
icon_menu() {
  if [ "$host_kind" = sni ]; then
    sni_call ContextMenu
  else
    xdotool mousemove --window "$panel" 12 16 mousedown 3
    sleep 0.5
    [ "$(menus)" = 0 ] || fail "the menu opened on the right press"
    xdotool mouseup 3
  fi
  await_menu "no menu from the icon"
}

start() {
  "$binary" &
  pid=$!
  window=
  if [ "${1:-}" = first ]; then
    about=$(timeout 20 xdotool search --sync --name "^about 'Trovix'\$" | head -n 1)
    [ -n "$about" ] || fail "no about box on the first start"
    xdotool windowactivate --sync "$about" 2>/dev/null || xdotool windowfocus --sync "$about"
    sleep 0.3
    keys Escape
  fi
}
# Waits for the program to end and checks its exit status.
ended() {
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 0 ] || fail "$1: exit status $status"
}
# Where the window's client area is on the screen.
position() { xwininfo -id "$window" | sed -n 's/.*Absolute upper-left [XY]: *//p' | paste -sd, -; }
# The window's own menu, opened with the mouse over the packet list.
window_menu() {
  xdotool mousemove --window "$window" 270 340 click 3
  await_menu "no menu over the window"
}

start_host
[ -z "$shot" ] || [ "$host_kind" != xembed ] || shot_wanted=1

# A first run: the about box, then the icon.
start first
await_icon yes "no icon after the first run's about box"
await_window hidden "the first run shows its window; it should be behind the icon"
[ -z "${shot_wanted:-}" ] || import -window root -crop 64x40+960+0 "$shot"
activate
await_window front "first run: one activation of the icon did not bring the window to the front"
activate
await_window hidden "first run: a second activation did not hide the window"
icon_menu
keys x                      # e&xit
ended "e&xit from the icon's menu"
[ -f "$ini" ] || fail "e&xit from the icon's menu wrote no settings"
await_icon no "the icon stayed after the exit"

# A start behind the icon, then a minimise.
printf '[Config]\r\nEnableFlipToTray=Yes\r\n' > "$ini"
start
await_icon yes "no icon at a start with flip to tray on"
activate
await_window front "flip to tray on at start: one activation did not bring the window to the front"
xdotool windowminimize "$window"
await_window hidden "a minimise with flip to tray on did not hide the window"
activate
await_window front "after a minimise: one activation did not bring the window to the front"
icon_menu
keys o l                    # options, f&lip to tray: off
await_icon no "f&lip to tray from the icon's menu left the icon"
await_window front "f&lip to tray from the icon's menu: the window is not in front"
window_menu                 # the window still answers
keys Escape
keys Escape
ended "Escape after f&lip to tray from the icon's menu"
grep -q 'EnableFlipToTray=No' "$ini" || fail "f&lip to tray off was not saved"

# Switching flip to tray on from the window's menu.
start
await_window front "a start without flip to tray shows no window"
window_menu
keys o l                    # options, f&lip to tray: on
await_icon yes "f&lip to tray on shows no icon"
await_window front "f&lip to tray on: the window did not stay in front"
# Back from the icon where it was: the first time, and after the user moved it.
for move in no yes; do
  [ "$move" = no ] || { xdotool windowmove --sync "$window" 100 120; sleep 0.3; }
  placed=$(position)
  activate
  await_window hidden "after f&lip to tray on: an activation did not hide the window"
  activate
  await_window front "after f&lip to tray on: one activation did not bring the window back to the front"
  [ "$(position)" = "$placed" ] || fail "the window left $placed for $(position) behind the icon (moved first: $move)"
done
keys Escape
ended "Escape"

[ "$host_kind" = xembed ] || { echo "the window comes back from its StatusNotifierItem, every time"; exit 0; }

# No notification area: a minimised window, never a hidden one.
kill "$host"
wait "$host" 2>/dev/null || true
host=
printf '[Config]\r\nEnableFlipToTray=Yes\r\n' > "$ini"
start
for _ in $(seq 50); do window=$(main_window); [ -z "$window" ] || break; sleep 0.1; done
[ -n "$window" ] || fail "without a host there is no window"
sleep 1
xprop -id "$window" WM_STATE | grep -q 'window state: Iconic' || { xprop -id "$window" WM_STATE _NET_WM_STATE; xwininfo -id $window | grep Map; fail "without a host the window is not minimised"; }
xdotool windowactivate --sync "$window"
await_window front "without a host the minimised window cannot be brought back"
keys Escape
ended "Escape without a host"
echo "the window comes back from its XEmbed icon every time, and is minimised without one"
