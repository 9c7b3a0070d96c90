# What the test and bench scripts share; sourced, never run:
#   . "$(dirname "$0")/../lib/gwtest.sh"
# On any way out (a signal included) the processes started with `spawn` get SIGTERM (their
# process group, when the script runs with `set -m`) and are waited for, then the commands
# given to `at_exit` run, the last given first.
gw_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
gw_pids=()
gw_cleanups=()
# With keep_going=1, `fail` counts the failure in `failures` and the script goes on.
keep_going=0 failures=0
# A pattern of files (logs) `fail` shows after its text.
show_on_fail=""

skip() { echo "skipped: $*"; exit 77; }
fail() {
  if [ "$keep_going" = 1 ]; then
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
    return 0
  fi
  echo "FAILED: $*" >&2
  local f
  for f in $show_on_fail; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; } >&2; done
  exit 1
}
at_exit() { gw_cleanups+=("$*"); } # a command, run through eval at the end
gw_exit() {
  [ "$BASHPID" = "$$" ] || return 0 # only the script itself, never a subshell on its way out
  local pid i
  for pid in "${gw_pids[@]}"; do
    # A process already waited for may have left its pid to another program's process (a
    # long run wraps the pids around): only the script's own children, ended or not, are
    # signalled.
    [ "$(awk '$1 == "PPid:" {print $2}' "/proc/$pid/status" 2>/dev/null)" = "$$" ] || continue
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  done
  # Only these: other children (a machine, say) end through the commands below.
  [ ${#gw_pids[@]} -eq 0 ] || wait "${gw_pids[@]}" 2>/dev/null || true
  for ((i = ${#gw_cleanups[@]} - 1; i >= 0; i--)); do eval "${gw_cleanups[i]}" || true; done
}
trap gw_exit EXIT
# `wait` (unlike a command in the foreground) lets a signal in at once.
trap 'exit 143' TERM INT HUP

# A temporary folder, $work, removed at the end.
make_work() { work=$(mktemp -d "${TMPDIR:-/tmp}/gw-${1:-test}-XXXXXX"); at_exit rm -rf "$work"; }

# Polls a command for up to $1 seconds.
within() {
  local tenths=$(($1 * 10)); shift
  for _ in $(seq "$tenths"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
# Waits up to $1 seconds for a line matching the pattern $3 in the file $2.
wait_log() { within "$1" grep -q -- "$3" "$2"; }

free_port() { # [udp|tcp|pair]: a port free a moment ago; "pair": its next one too
  python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import gwtest
print(gwtest.free_port("tcp" if sys.argv[2] == "tcp" else "udp", pair=sys.argv[2] == "pair"))' "$gw_lib" "${1:-udp}"
}

# PID...: processes of the script's that the end stops.
own() { gw_pids+=("$@"); }
# LOG COMMAND...: runs COMMAND in the background, its output in LOG; its pid in $spawned.
spawn() {
  local log=$1; shift
  "$@" >"$log" 2>&1 &
  spawned=$!
  own "$spawned"
}

# Network namespaces: each made with its loopback up, removed at the end with whatever runs
# in it. `ip netns exec` becomes its command, so a spawned command's pid is that command's.
netns_add() {
  local ns
  for ns; do
    ip netns add "$ns"
    at_exit netns_del "$ns"
    ip netns exec "$ns" ip link set lo up
  done
}
netns_del() {
  ip netns pids "$1" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
  ip netns del "$1" 2>/dev/null || true
}
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }
# A veth pair: NS1 DEV1 ADDRESS1/PREFIX NS2 DEV2 ADDRESS2/PREFIX, both ends up.
veth() {
  ip link add "$2" netns "$1" type veth peer name "$5" netns "$4"
  in_ns "$1" ip addr add "$3" dev "$2"
  in_ns "$4" ip addr add "$6" dev "$5"
  in_ns "$1" ip link set "$2" up
  in_ns "$4" ip link set "$5" up
}

# FILE Section.Key=value...: a settings file, a section's header before its first key (give
# each section's keys together).
write_settings() {
  local file=$1 arg section=""; shift
  for arg; do
    [ "${arg%%.*}" = "$section" ] || { section=${arg%%.*}; printf '[%s]\n' "$section"; }
    printf '%s\n' "${arg#*.}"
  done >"$file"
}

# LOG SETTINGS PROGRAM [NAMESPACE]: the headless program in the background (in NAMESPACE if
# given); its pid in $relay.
start_relay() {
  if [ -n "${4:-}" ]; then spawn "$1" ip netns exec "$4" "$3" --config "$2"; else spawn "$1" "$3" --config "$2"; fi
  relay=$spawned
}
# LOG ECHO SECONDS [NAMESPACE]: gw-echo for SECONDS, waited for; its port in $echo_port.
start_echo() {
  if [ -n "${4:-}" ]; then spawn "$1" ip netns exec "$4" "$2" --seconds "$3"; else spawn "$1" "$2" --seconds "$3"; fi
  wait_log 5 "$1" '^port ' || fail "the echo server did not start"
  echo_port=$(awk '/^port /{print $2}' "$1")
}
