#!/usr/bin/env bash
# The metrics endpoint read through a real Prometheus server: on this host's loopback with the
# sockets alone, then, as root, in a network namespace of its own with the kernel's fast path.
#   metrics.sh HEADLESS ECHO      (python3 and prometheus, else 77: skipped; about 30 s)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib/gwtest.sh"
for tool in python3 prometheus; do command -v "$tool" >/dev/null || skip "needs $tool"; done
python3 "$here/metrics_check.py" sockets "$1" "$2"
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then echo "fast path part skipped: needs root and ip"; exit 0; fi
ns=gw-metrics-$$
netns_add "$ns"
status=0
in_ns "$ns" python3 "$here/metrics_check.py" fastpath "$1" "$2" || status=$?
[ "$status" -eq 77 ] || exit "$status"
