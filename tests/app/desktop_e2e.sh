#!/usr/bin/env bash
# The desktop program as a user meets it: a real X server (Xvfb) with a window manager that
# has a taskbar and a tray (icewm). Started beside a settings file with two tunnels, the
# program must show its window off the taskbar with its icon in the tray, hide when
# minimized, come back on a click on the icon, and end from the tray menu's Quit, even with
# a dialog open, writing its settings. A screenshot of the window is saved on the way.
#   desktop_e2e.sh PROGRAM SCREENSHOT
set -euo pipefail
program=$1
screenshot=$2

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }
# Polls a condition for up to $1 seconds.
within() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 10))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# A display number nobody uses.
for n in $(seq 90 120); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }; done
export DISPLAY=$display
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
within 10 xdpyinfo || fail "Xvfb did not start"
# The window manager with its tray, which must be there before the program looks for it.
# icewm now and then comes up without its tray on a fresh server; it is then started again.
start_wm() {
  HOME=$work icewm >>"$work/icewm.log" 2>&1 &
  wm=$!
  pids+=($wm)
  within 10 bash -c "xwininfo -root -tree | grep -q '\"SystemTray\"'"
}
for attempt in 1 2 3; do
  start_wm && break
  kill "$wm" 2>/dev/null || true
  wait "$wm" 2>/dev/null || true
  [ "$attempt" = 3 ] && fail "icewm has no system tray: $(tail -5 "$work/icewm.log")"
done

# The program reads the settings file beside its executable.
cp "$program" "$work/gatewarden"
free_udp_port() {
  python3 -c 'import socket
while True:
    a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); a.bind(("0.0.0.0", 0)); p = a.getsockname()[1]
    b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        b.bind(("0.0.0.0", p + 1)); print(p); break
    except OSError:
        pass'
}
first=$(free_udp_port)
second=$(free_udp_port)
cat >"$work/gatewarden.ini" <<INI
[General]
AddPort=1
[RemoteAdmin]
Temporary=0
Static=1
Password=moonbeam
Port=23817
FromPort=8000
ToPort=9000
[Tunnels]
Server0=$first 127.0.0.1:7777
Server1=$second 127.0.0.1:7787
INI
expected=$(cat "$work/gatewarden.ini")

"$work/gatewarden" >"$work/out.log" 2>&1 &
app=$!
pids+=($app)

within 15 xdotool search --name '^Gatewarden 3.0$' || fail "no window named 'Gatewarden 3.0'"
window=$(xdotool search --name '^Gatewarden 3.0$' | head -1)
within 5 bash -c "xwininfo -id $window | grep -q 'IsViewable'" || fail "the window is not shown"

# Off the taskbar: the window manager was asked to skip it.
within 5 bash -c "xprop -id $window _NET_WM_STATE | grep -q _NET_WM_STATE_SKIP_TASKBAR" ||
  fail "the window is on the taskbar: $(xprop -id "$window" _NET_WM_STATE)"

# The tray icon: a window of the program embedded into the window manager's tray.
tray_icon() {
  for w in $(xdotool search --pid "$app" 2>/dev/null); do
    [ "$w" = "$window" ] && continue
    if xwininfo -id "$w" 2>/dev/null | grep -q 'Width: 1[0-9]\b\|Width: 2[0-9]\b' &&
       xwininfo -id "$w" 2>/dev/null | grep -q 'IsViewable'; then
      echo "$w"; return 0
    fi
  done
  return 1
}
within 20 tray_icon || fail "no tray icon embedded: $(xwininfo -root -tree | grep -A3 '"SystemTray"')"
icon=$(tray_icon)

# The pointer away from the window, so the status bar shows its counts, not a hint.
xdotool mousemove 0 0
sleep 0.5
import -frame -window "$window" "$screenshot" || fail "no screenshot"

# Minimized, the program leaves the screen; a click on the tray icon brings it back.
xdotool windowminimize "$window"
within 5 bash -c "! xwininfo -id $window | grep -q 'IsViewable'" || fail "the window stays on screen when minimized"
eval "$(xdotool getwindowgeometry --shell "$icon")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
within 5 bash -c "xwininfo -id $window | grep -q 'IsViewable'" || fail "a click on the tray icon does not show the window"

# Quit from the tray menu while a dialog is open: the tray answers, the dialog closes as
# cancelled, and the settings are written as they were read.
xdotool windowactivate --sync "$window"
xdotool key alt+o
within 5 xdotool search --name '^Gatewarden Configuration$' || fail "the options dialog does not open"
rm -f "$work/gatewarden.ini"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.5
xdotool key q
within 10 bash -c "! kill -0 $app" || fail "Quit in the tray menu does not end the program"
wait "$app" || fail "the program ended with status $?: $(cat "$work/out.log")"
[ "$(cat "$work/gatewarden.ini" 2>/dev/null)" = "$expected" ] ||
  fail "settings not written back as read: $(cat "$work/gatewarden.ini" 2>/dev/null)"
echo "desktop end-to-end run: ok"
