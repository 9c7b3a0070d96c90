#!/usr/bin/env bash
# The desktop program as a user meets it: a real X server (Xvfb) with a window manager that
# has a taskbar and a tray (icewm). Started beside a settings file with two tunnels, the
# program must show its window with its picture in the tray, hide when minimized, come back
# on a click on the icon, and end from the tray menu's Quit, even with a dialog open, writing
# its settings. Every window it shows, boxes included, carries its icon and stays off the
# taskbar. A screenshot of the screen is saved on the way, and one of each dialog beside it.
# The details of a tunnel with traffic show its relay and what it carried, read as a screen
# reader reads them, through the accessibility bus of a D-Bus session of the run's own.
#   desktop_e2e.sh PROGRAM SCREENSHOT
set -euo pipefail
[ -n "${GW_E2E_SESSION:-}" ] || exec env GW_E2E_SESSION=1 dbus-run-session -- "$0" "$@"
program=$1
screenshot=$2
shots=${screenshot%.png}

. "$(dirname "$0")/../lib/gwtest.sh"
make_work e2e

# The server takes a display number nobody uses and tells it, so that two runs at once never
# share one; its screen is small enough that a picture of it shows the window, the taskbar
# and the tray.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
own $!
within 10 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(cat "$work/display")"
within 10 xdpyinfo || fail "Xvfb did not start"
# The window manager with its tray, which must be there before the program looks for it.
# icewm now and then comes up without its tray on a fresh server; it is then started again.
start_wm() {
  HOME=$work icewm >>"$work/icewm.log" 2>&1 &
  wm=$!
  own $wm
  within 10 bash -c "xwininfo -root -tree | grep -q '\"SystemTray\"'"
}
for attempt in 1 2 3; do
  start_wm && break
  kill "$wm" 2>/dev/null || true
  wait "$wm" 2>/dev/null || true
  [ "$attempt" = 3 ] && fail "icewm has no system tray: $(tail -5 "$work/icewm.log")"
done

# The accessibility bus, where the program shows what its windows show; D-Bus starts it, with
# its socket in the run's folder.
busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus UpdateActivationEnvironment \
  'a{ss}' 1 XDG_RUNTIME_DIR "$work"
export XDG_RUNTIME_DIR=$work
a11y=$(busctl --user --json=short call org.a11y.Bus /org/a11y/bus org.a11y.Bus GetAddress |
  python3 -c 'import json, sys; print(json.load(sys.stdin)["data"][0])') || fail "no accessibility bus"
# The names of everything inside the program's window named $1, as a screen reader reads them,
# one a line: its labels, and a list's headers and then its cells, row by row.
window_texts() {
  python3 - "$a11y" "$1" <<'PY'
import json, subprocess, sys
address, title = sys.argv[1:]
def busctl(*args):
    out = subprocess.run(["busctl", "--address=" + address, "--json=short", *args],
                         capture_output=True, text=True, check=True, timeout=10).stdout
    return json.loads(out)["data"]
A = "org.a11y.atspi.Accessible"
for app in busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames")[0]:
    try:
        windows = busctl("call", app, "/org/a11y/atspi/accessible/root", A, "GetChildren")[0]
    except subprocess.CalledProcessError:
        continue
    pending = [path for _, path in windows if busctl("get-property", app, path, A, "Name") == title]
    while pending:
        path = pending.pop(0)
        print(busctl("get-property", app, path, A, "Name"))
        pending += [child for _, child in busctl("call", app, path, A, "GetChildren")[0]]
PY
}

# The program reads the settings file beside its executable.
cp "$program" "$work/gatewarden"
first=$(free_port pair)
second=$(free_port pair)
# A game server behind the first tunnel, and a player: at our first line, 40 datagrams of 100
# bytes, each answered; at our second, 25 a second for the chart, 3 in 5 answered.
read -r -d '' game_and_player <<'PY' || true
import socket, sys, time
server, client = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
for s in (server, client): s.bind(("127.0.0.1", 0)); s.settimeout(2)
print(server.getsockname()[1], flush=True)
sys.stdin.readline()
for i in range(40 + 25 * 14):
    if i == 40:
        print(f"127.0.0.1:{client.getsockname()[1]}", flush=True)
        sys.stdin.readline()
    client.sendto(b"x" * 100, ("127.0.0.1", int(sys.argv[1])))
    data, peer = server.recvfrom(4096)
    if i < 40 or i % 5 < 3:
        server.sendto(data, peer)
        client.recvfrom(4096)
    time.sleep(0.04 if i >= 40 else 0)
PY
coproc GAME { python3 -c "$game_and_player" "$first"; }
own "$GAME_PID"
read -r -t 5 game <&"${GAME[0]}" || fail "no game server"
write_settings "$work/gatewarden.ini" General.AddPort=1 RemoteAdmin.Temporary=0 RemoteAdmin.Static=1 \
  RemoteAdmin.Password=moonbeam RemoteAdmin.Port=23817 RemoteAdmin.FromPort=8000 RemoteAdmin.ToPort=9000 \
  "Tunnels.Server0=$first 127.0.0.1:$game" "Tunnels.Server1=$second 127.0.0.1:7787"
expected=$(cat "$work/gatewarden.ini")

spawn "$work/out.log" env QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$work/gatewarden"
app=$spawned

within 15 xdotool search --name '^Gatewarden 3.0$' || fail "no window named 'Gatewarden 3.0'"
window=$(xdotool search --name '^Gatewarden 3.0$' | head -1)
within 5 bash -c "xwininfo -id $window | grep -q 'IsViewable'" || fail "the window is not shown"

# A window of the program: it carries the program's icon, and the window manager was asked to
# keep it off the taskbar.
expect_program_window() {
  local id=$1 what=$2
  within 5 bash -c "xprop -id $id _NET_WM_STATE | grep -q _NET_WM_STATE_SKIP_TASKBAR" ||
    fail "$what is on the taskbar: $(xprop -id "$id" _NET_WM_STATE)"
  [[ $(xprop -id "$id" _NET_WM_ICON) == *"Icon (16 x 16)"* ]] || fail "$what has no icon of its own"
}
# A dialog of the main window: a program window that belongs to the main window.
expect_dialog() {
  expect_program_window "$1" "$2"
  [[ $(xprop -id "$1" WM_TRANSIENT_FOR) == *"# $(printf '0x%x' "$window")" ]] ||
    fail "$2 does not belong to the main window: $(xprop -id "$1" WM_TRANSIENT_FOR)"
}
# The frame of window $1 (its title bar and borders included) is centred in the work area.
expect_centred() {
  local id=$1 what=$2 l r t b wx wy ww wh cx cy cw ch
  read -r l r t b < <(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  read -r wx wy ww wh _ < <(xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g')
  read -r cx cy cw ch < <(xwininfo -id "$id" |
    awk '/Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF} /Width:/ {w = $NF} /Height:/ {h = $NF}
         END {print x, y, w, h}')
  # Twice the distances between the centres, so that odd sizes stay whole.
  local dx=$((2 * (cx - l) + l + cw + r - 2 * wx - ww)) dy=$((2 * (cy - t) + t + ch + b - 2 * wy - wh))
  ((dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2)) ||
    fail "$what is not centred: its frame's centre is $((dx / 2)), $((dy / 2)) from the work area's"
}
# The window on screen named $1, within 5 seconds.
window_named() {
  within 5 xdotool search --onlyvisible --name "$1" || fail "no window named $1"
  xdotool search --onlyvisible --name "$1" | head -1
}
expect_program_window "$window" "the main window"
expect_centred "$window" "the main window"

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

# The tray shows the program's picture: its gold emblem among black and grey, not one colour.
eval "$(xdotool getwindowgeometry --shell "$icon")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/tray.png" || fail "no picture of the tray icon"
convert "$work/tray.png" txt:- | awk -F'[(),]' '
  /^[0-9]/ { r = $3; g = $4; b = $5
             if (r > 180 && g > 120 && b < 110) gold++
             if (r < 40 && g < 40 && b < 40) dark++
             if (r > 110 && r < 220 && (r - b) < 20 && (b - r) < 20 && (r - g) < 20 && (g - r) < 20) grey++ }
  END { exit !(gold >= 12 && dark >= 12 && grey >= 12) }' ||
  fail "the tray icon does not show the program's picture: $(convert "$work/tray.png" -format '%k colours' info:)"

# The pointer away from the window, so the status bar shows its counts, not a hint.
xdotool mousemove 0 0
sleep 0.5
import -window root "$screenshot" || fail "no screenshot"

echo go >&"${GAME[1]}"
read -r -t 10 player <&"${GAME[0]}" || fail "the player's datagrams were not all answered through the tunnel"

# A right click on the tunnel's row, then Details: its window, a window of the program like
# the dialogs, lists the relay with what it carried each way.
xdotool windowactivate --sync "$window" mousemove --window "$window" 60 40 click 3
sleep 0.5
xdotool key d
title="Tunnel $first to 127.0.0.1:$game"
details=$(window_named "^$title\$")
expect_dialog "$details" "the details window"
# The relay's row: its client, then (past the time it came) datagrams and bytes each way, and
# (past the time it was last seen) what carries it.
for _ in $(seq 20); do
  row=$(window_texts "$title" | grep -x -A7 "$player" | sed -n '3,6p;8p' | paste -sd' ')
  [ "$row" = "40 4000 40 4000 sockets" ] && break
  sleep 0.25
done
[ "$row" = "40 4000 40 4000 sockets" ] ||
  fail "the details do not show the relay of $player and its counts: $(window_texts "$title" | paste -sd'|')"
# A few seconds of the stream on the chart, and a picture of it.
echo stream >&"${GAME[1]}"
sleep 12
import -frame -window "$details" "$shots-details.png"
xdotool windowactivate --sync "$details" key alt+F4
within 5 bash -c "! xdotool search --onlyvisible --name '^Tunnel '" || fail "the details window does not close"

# Each dialog and box: its icon, no taskbar button, and a picture of it to look at.
xdotool windowactivate --sync "$window" key alt+b
about=$(window_named '^About Gatewarden$')
expect_dialog "$about" "the about box"
expect_centred "$about" "the about box"
import -frame -window "$about" "$shots-about.png"
xdotool key Return
within 5 bash -c "! xdotool search --onlyvisible --name '^About Gatewarden\$'" || fail "Enter on Ok does not close the about box"

xdotool windowactivate --sync "$window" key alt+a
tunnel=$(window_named '^Add server$')
expect_dialog "$tunnel" "the tunnel dialog"
import -frame -window "$tunnel" "$shots-tunnel.png"
# Ok with the fields empty: the error box.
xdotool key alt+o
box=$(window_named '^Gatewarden$')
expect_program_window "$box" "the error box"
import -frame -window "$box" "$shots-error.png"
xdotool windowactivate --sync "$box" key Return
within 5 bash -c "! xdotool search --onlyvisible --name '^Gatewarden\$'" || fail "the error box does not close"

# Minimized, the program leaves the screen; a click on the tray icon brings it back.
xdotool windowminimize "$window"
within 5 bash -c "! xwininfo -id $window | grep -q 'IsViewable'" || fail "the window stays on screen when minimized"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
within 5 bash -c "xwininfo -id $window | grep -q 'IsViewable'" || fail "a click on the tray icon does not show the window"

# Quit from the tray menu while a dialog is open: the tray answers, the dialog closes as
# cancelled, and the settings are written as they were read.
# The options dialog is centred at its first opening as at the next.
xdotool windowactivate --sync "$window" key alt+o
options=$(window_named '^Gatewarden Configuration$')
expect_dialog "$options" "the options dialog"
expect_centred "$options" "the options dialog at its first opening"
import -frame -window "$options" "$shots-options.png"
xdotool key alt+c
within 5 bash -c "! xdotool search --onlyvisible --name '^Gatewarden Configuration\$'" || fail "Cancel does not close the options dialog"
xdotool windowactivate --sync "$window" key alt+o
options=$(window_named '^Gatewarden Configuration$')
expect_centred "$options" "the options dialog at its second opening"
rm -f "$work/gatewarden.ini"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.5
xdotool key q
within 10 bash -c "! kill -0 $app" || fail "Quit in the tray menu does not end the program"
wait "$app" || fail "the program ended with status $?: $(cat "$work/out.log")"
[ "$(cat "$work/gatewarden.ini" 2>/dev/null)" = "$expected" ] ||
  fail "settings not written back as read: $(cat "$work/gatewarden.ini" 2>/dev/null)"

# Starts the program with the settings $1, expects the box named "Gatewarden" that it then
# shows ($2 says which) to be a window of the program, and closes it with Enter.
start_with_box() {
  printf "$1" >"$work/gatewarden.ini"
  spawn "$work/out.log" "$work/gatewarden"
  app=$spawned
  box=$(window_named '^Gatewarden$')
  expect_program_window "$box" "$2"
  xdotool windowactivate --sync "$box" key Return
}

# The box of an error at start: the remote-control port is held by another program.
held=$work/held-port
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("0.0.0.0", 0)); s.listen()
open(sys.argv[1], "w").write(str(s.getsockname()[1])); time.sleep(60)' "$held" &
own $!
within 5 test -s "$held" || fail "no port held for the start-up error"
start_with_box "[RemoteAdmin]\nTemporary=1\nPort=$(cat "$held")\n" "the start-up error box"
kill "$app"
wait "$app" || true

# The box of a settings file the program cannot start from.
start_with_box '[Tunnels]\nServer0=7777 a:b:7777\n' "the fatal error box"
status=0
wait "$app" || status=$?
[ "$status" = 2 ] || fail "a settings file that does not read ended the program with status $status"
echo "desktop end-to-end run: ok"
