# Sourced after x_desktop.sh by the scripts that need a notification area: the host given
# by $host_kind, trayer (xembed) or a StatusNotifierWatcher on the session bus (sni), and
# the user's ways of reaching the icon. Uses $scratch for the watcher's files.

tray_hosts_dir=$(cd "$(dirname "$0")" && pwd)
[ -f "$tray_hosts_dir/sni_watcher.py" ] || tray_hosts_dir=$(cd "$tray_hosts_dir/../tests" && pwd)

start_host() {
  if [ "$host_kind" = sni ]; then
    # Debian's python3, which python3-dbus belongs to.
    /usr/bin/python3 "$tray_hosts_dir/sni_watcher.py" "$scratch/ready" > "$scratch/items" &
    host=$!
    for _ in $(seq 50); do [ -s "$scratch/ready" ] && return 0; sleep 0.1; done
    fail "the StatusNotifierWatcher did not start"
  fi
  # A dock, as desktop panels are: the window manager keeps it above the windows.
  trayer --edge top --align right --widthtype request --height 32 --SetDockType true --SetPartialStrut true \
    --transparent false --tint 0x404040 >/dev/null 2>&1 &
  host=$!
  panel=$(timeout 10 xdotool search --sync --name '^panel$' | head -n 1)
}

# The StatusNotifierItem of the program started last.
item() { grep -v '^gone ' "$scratch/items" | tail -n 1; }
sni_call() {
  dbus-send --session --type=method_call --dest="$(item)" /StatusNotifierItem "org.kde.StatusNotifierItem.$1" \
    int32:600 int32:20
}
# A left click on the icon, or StatusNotifierItem's Activate.
activate() {
  if [ "$host_kind" = sni ]; then
    sni_call Activate
  else
    sleep 0.6  # apart by more than a double-click time: the second press of a double click is not a press
    xdotool mousemove --window "$panel" 12 16 click 1
  fi
}
