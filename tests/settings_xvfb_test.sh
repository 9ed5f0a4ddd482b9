#!/bin/sh
# The real program on an X server of its own: a first start without a settings file (its
# about box closed with Escape), the options changed from the keyboard and the menu,
# Escape; the file must then hold exactly those options, and a second start must show
# them, so that its own exit writes the very same bytes again.
#   settings_xvfb_test.sh <trovix binary>
# Exits 77 (skipped) without xvfb-run or xdotool.
set -eu
binary=$1

if [ "${TROVIX_INSIDE_XVFB:-}" != 1 ]; then
  command -v xvfb-run >/dev/null && command -v xdotool >/dev/null || { echo "skipped: no xvfb-run or xdotool"; exit 77; }
  TROVIX_INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
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
    xdotool windowfocus --sync "$about"
    sleep 0.3
    keys Escape
  fi
  window=$(timeout 20 xdotool search --sync --name '^Trovix$' | head -n 1)
  [ -n "$window" ] || { echo "no window"; exit 1; }
  xdotool windowfocus --sync "$window"
  sleep 0.5
}
keys() { xdotool key --delay 80 "$@"; sleep 0.3; }
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
keys Menu o l                             # options, flip to tray: off
keys Menu o v Down Return                 # options, view TCP data, in ASCII mode
finish

expected="$scratch/expected"
printf '[Config]\r\nSaveSessionPreferences=Yes\r\nEnableFlipToTray=No\r\nEnableTrayIconAnime=Yes\r\nDataInHexViewOnlyUdp=Yes\r\nTcpDataInTextView=No\r\nBindToInterface=127.0.0.7\r\nFromIPAddress:port=*:*\r\nToIPAddress:port=*:*\r\nTwoWayTraffic=No\r\nOnTop=No\r\nOnTcp=Yes\r\nOnUdp=Yes\r\nOnIcmp=No\r\nOnIgmp=Yes\r\nOnRaw=Yes\r\n' > "$expected"
cmp "$expected" "$ini" || { echo "first exit wrote:"; cat -A "$ini"; exit 1; }

start
finish
cmp "$expected" "$ini" || { echo "second exit wrote:"; cat -A "$ini"; exit 1; }
echo "settings kept across two real runs"
