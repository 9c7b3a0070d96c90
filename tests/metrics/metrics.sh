#!/usr/bin/env bash
# The metrics endpoint read through a real Prometheus server: on this host's loopback with the
# sockets alone, then, as root, in a network namespace of its own with the kernel's fast path.
#   metrics.sh HEADLESS ECHO      (python3 and prometheus, else 77: skipped; about 30 s)
set -euo pipefail
check=$(cd "$(dirname "$0")" && pwd)/metrics_check.py
for tool in python3 prometheus; do command -v "$tool" >/dev/null || { echo "skipped: needs $tool"; exit 77; }; done
python3 "$check" sockets "$1" "$2"
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then echo "fast path part skipped: needs root and ip"; exit 0; fi
ns=gw-metrics-$$
trap 'ip netns del "$ns" 2>/dev/null || true' EXIT
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
status=0
ip netns exec "$ns" python3 "$check" fastpath "$1" "$2" || status=$?
[ "$status" -eq 77 ] || exit "$status"
