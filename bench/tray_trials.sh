#!/bin/sh
# How many activations of the notification-area icon bring the window back in front, in
# each situation that hides it: a first run (about box, then the icon), a start with flip
# to tray on, a minimise, and after switching "f&lip to tray" on (the window must stay in
# front; one activation hides it, then the count starts). Real program, Xvfb, openbox, and
# trayer (xembed) or a StatusNotifierWatcher on a private session bus (sni). A count
# gives up after 10 ("never"). One line per trial.
#   bench/tray_trials.sh <trovix binary> xembed|sni [TRIALS]
set -u
binary=$1
host_kind=$2
trials=${3:-5}
tests=$(cd "$(dirname "$0")/../tests" && pwd)
if [ "${TROVIX_INSIDE_BUS:-}" != 1 ]; then TROVIX_INSIDE_BUS=1 exec dbus-run-session -- "$0" "$@"; fi
. "$tests/x_desktop.sh"
. "$tests/tray_hosts.sh"
scratch=$(mktemp -d)
wm= host= pid= panel=
trap 'kill $pid $host $wm 2>/dev/null; stop_x_server; rm -rf "$scratch"' EXIT
start_x_server
start_window_manager
export XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=xcb
ini="$XDG_CONFIG_HOME/Trovix/trovix.ini"
start_host
front_within() {  # 1.5 s
  for _ in $(seq 15); do
    [ -n "${window:-}" ] || window=$(main_window)
    in_front && return 0
    sleep 0.1
  done
  return 1
}
hidden_within() { for _ in $(seq 15); do viewable || return 0; sleep 0.1; done; return 1; }
count() {
  c=0
  while [ $c -lt 10 ]; do
    c=$((c + 1))
    activate
    front_within && { echo $c; return; }
  done
  echo never
}
launch() { "$binary" 2>/dev/null & pid=$!; window=; }
stop() { kill $pid 2>/dev/null; wait $pid 2>/dev/null; pid=; }

for t in $(seq "$trials"); do
  rm -rf "$XDG_CONFIG_HOME"
  launch
  about=$(timeout 20 xdotool search --sync --name "^about 'Trovix'\$" | head -n 1)
  xdotool windowactivate --sync "$about" 2>/dev/null
  sleep 0.3
  xdotool key Escape
  sleep 1.5
  first=$(count)
  stop
  mkdir -p "$XDG_CONFIG_HOME/Trovix"
  printf '[Config]\r\nEnableFlipToTray=Yes\r\n' > "$ini"
  launch
  sleep 1.5
  start=$(count)
  window=$(main_window)
  xdotool windowminimize "$window"
  hidden_within
  minimised=$(count)
  stop
  printf '[Config]\r\nEnableFlipToTray=No\r\n' > "$ini"
  launch
  sleep 1.5
  window=$(main_window)
  xdotool mousemove --window "$window" 270 340 click 3
  sleep 0.5
  xdotool key --delay 80 o l
  sleep 0.8
  stays=$(in_front && echo yes || echo no)
  activate
  hidden_within
  after=$(count)
  stop
  echo "trial $t: first run $first, start in tray $start, minimised $minimised, 118 on (in front: $stays) $after"
done
