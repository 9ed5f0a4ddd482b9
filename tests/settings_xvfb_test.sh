#!/bin/sh
# The real program on an X server of its own: a first start without a settings file (a
# second start handing over while its about box is open, then the box closed with
# Escape), the options changed from the keyboard and the menu,
# Escape; the file must then hold exactly those options, and a second start must show
# them, so that its own exit writes the very same bytes again. A first start goes to the
# notification area: trayer hosts its icon, and a click on the icon brings the window.
# openbox manages the windows, as a desktop's window manager does.
#   settings_xvfb_test.sh <trovix binary>
# Exits 77 (skipped) without Xvfb, openbox, xdotool, xwininfo, xprop or trayer.
set -eu
binary=$1

for tool in Xvfb openbox xdotool xwininfo xprop trayer; do
  command -v $tool >/dev/null || { echo "skipped: no $tool"; exit 77; }
done

. "$(dirname "$0")/x_desktop.sh"
scratch=$(mktemp -d)
wm= host= pid=
trap 'rm -rf "$scratch"; kill $pid $host $wm 2>/dev/null || true; stop_x_server' EXIT
start_x_server
start_window_manager
host_kind=xembed
. "$(dirname "$0")/tray_hosts.sh"
start_host
export XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=xcb
# For sanitizer builds: the system's D-Bus library is not ours to mend.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")" && pwd)/xcb_lsan.supp"
ini="$XDG_CONFIG_HOME/Trovix/trovix.ini"

start() {
  "$binary" &
  pid=$!
  if [ "${1:-}" = first ]; then
    # Without a settings file the about box comes before the main window.
    about=$(timeout 20 xdotool search --sync --name "^about 'Trovix'\$" | head -n 1)
    [ -n "$about" ] || { echo "no about box on the first start"; exit 1; }
    # A second start while the box holds the first: the hand-over is answered from the
    # box's loop, so it ends at once with 0 and no window of its own.
    status=0
    timeout 10 "$binary" || status=$?
    [ "$status" = 0 ] || { echo "a second start during the about box ended with $status"; exit 1; }
    kill -0 "$pid" || { echo "the first start ended"; exit 1; }
    [ "$(xdotool search --onlyvisible --name '^Trovix$' | wc -l)" = 0 ] || { echo "a main window beside the about box"; exit 1; }
    xdotool windowfocus --sync "$about"
    sleep 0.3
    keys Escape
  fi
  sleep 1
  window=$(main_window)
  if ! viewable; then
    xdotool mousemove --window "$panel" 12 16 click 1  # the only icon there
  fi
  await_window front "no window in front"
  sleep 0.3
}
finish() {
  keys Escape
  status=0
  wait "$pid" || status=$?
  [ "$status" = 0 ] || { echo "exit code $status"; exit 1; }
}

start first
[ ! -e "$ini" ] || { echo "a settings file before the first exit"; exit 1; }
# The interface field has the focus at start.
keys ctrl+a
xdotool type --delay 50 "127.0.0.7"
keys shift+Tab space shift+Tab space      # "raw", then "igmp"
keys Menu o l                             # options, flip to tray: off (and its animation)
keys Menu o v Down Return                 # options, view TCP data, in ASCII mode
finish

expected="$scratch/expected"
printf '[Config]\r\nSaveSessionPreferences=Yes\r\nEnableFlipToTray=No\r\nEnableTrayIconAnime=No\r\nDataInHexViewOnlyUdp=Yes\r\nTcpDataInTextView=No\r\nBindToInterface=127.0.0.7\r\nFromIPAddress:port=*:*\r\nToIPAddress:port=*:*\r\nTwoWayTraffic=No\r\nOnTop=No\r\nOnTcp=Yes\r\nOnUdp=Yes\r\nOnIcmp=No\r\nOnIgmp=Yes\r\nOnRaw=Yes\r\n' > "$expected"
cmp "$expected" "$ini" || { echo "first exit wrote:"; cat -A "$ini"; exit 1; }

start
finish
cmp "$expected" "$ini" || { echo "second exit wrote:"; cat -A "$ini"; exit 1; }
echo "settings kept across two real runs"
