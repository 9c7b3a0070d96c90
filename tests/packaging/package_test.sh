#!/usr/bin/env bash
# The Debian package of this build, checked as a packager and a user would, without installing
# it on this machine: what it holds and depends on, the desktop entry, the manual pages and
# the unit; then, from a throwaway extraction, the headless program's --version and a run of
# the desktop program in a fresh home that ends with SIGTERM.
# Usage: package_test.sh BUILD_FOLDER
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/gw-package-XXXXXX")
desktop_pid=""
cleanup() {
  [ "$BASHPID" = "$$" ] || return 0 # only the script itself, never a subshell on its way out
  if [ -n "$desktop_pid" ]; then kill -KILL "$desktop_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  exit 1
fi
deb=$(ls "$work"/out/gatewarden_*.deb)

# What it holds.
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/listing"
expected=(./usr/bin/gatewarden ./usr/bin/gatewarden-headless
          ./usr/share/applications/gatewarden.desktop ./usr/lib/systemd/system/gatewarden.service
          ./usr/share/man/man1/gatewarden.1 ./usr/share/man/man1/gatewarden-headless.1
          ./usr/share/doc/gatewarden/gatewarden.ini ./usr/share/icons/hicolor/scalable/apps/gatewarden.svg)
for n in 16 22 24 32 48 64 128 256; do expected+=("./usr/share/icons/hicolor/${n}x${n}/apps/gatewarden.png"); done
for path in "${expected[@]}"; do grep -qxF "$path" "$work/listing" || fail "the package lacks $path"; done
# Nothing of the build besides: no tests, benches or libraries.
unexpected=$(grep -v -e '/$' "$work/listing" | grep -vxF -f <(printf '%s\n' "${expected[@]}") || true)
[ -z "$unexpected" ] || fail "the package holds more than the programs' files: $unexpected"

# What it depends on, as dpkg-shlibdeps found it.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libuv1 libqt6widgets6 libqt6core6; do
  [[ "$depends" == *"$library "* ]] || fail "Depends lacks $library: $depends"
done
# No maintainer script: installing the package enables and starts nothing.
scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v -x -e './' -e './control' -e './md5sums' || true)
[ -z "$scripts" ] || fail "the package has maintainer scripts: $scripts"

dpkg-deb -x "$deb" "$work/root"
root=$work/root

version=$("$root/usr/bin/gatewarden-headless" --version)
[ "$version" = "gatewarden-headless $(dpkg-deb -f "$deb" Version)" ] || fail "--version says '$version'"

desktop-file-validate "$root/usr/share/applications/gatewarden.desktop" || fail "the desktop entry does not validate"
for page in gatewarden gatewarden-headless; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

unit=$root/usr/lib/systemd/system/gatewarden.service
for line in 'ExecStart=/usr/bin/gatewarden-headless --config /etc/gatewarden/gatewarden.ini' \
            'ExecReload=/bin/kill -HUP $MAINPID' 'DynamicUser=yes' 'ProtectSystem=strict' 'NoNewPrivileges=yes'; do
  grep -qxF "$line" "$unit" || fail "the unit lacks: $line"
done
# systemd reads the unit without a complaint (it cannot find the program, which is not installed).
complaints=$(systemd-analyze verify --man=no "$unit" 2>&1 | grep -v "Command /usr/bin/gatewarden-headless is not executable" || true)
[ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"

# The desktop program as a user runs it: settings under XDG_CONFIG_HOME, nothing beside it.
home=$work/home
mkdir -p "$home"
ls -A "$root/usr/bin" >"$work/bin-before"
HOME=$home XDG_CONFIG_HOME=$home/config QT_QPA_PLATFORM=offscreen \
  "$root/usr/bin/gatewarden" >"$work/desktop.out" 2>&1 &
desktop_pid=$!
# Ready once the program (not the shell that forks it, which catches SIGTERM too) catches
# SIGTERM: bit 14 of the caught-signals mask.
ready() {
  [ "$(readlink "/proc/$desktop_pid/exe")" = "$root/usr/bin/gatewarden" ] || return 1
  local mask
  mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$desktop_pid/status")
  (( (16#$mask >> 14) & 1 ))
}
for _ in $(seq 100); do ready 2>/dev/null && break; sleep 0.1; done
kill -TERM "$desktop_pid"
status=0
for _ in $(seq 100); do kill -0 "$desktop_pid" 2>/dev/null || break; sleep 0.1; done
wait "$desktop_pid" || status=$?
desktop_pid=""
[ "$status" -eq 0 ] || fail "the desktop program ended with status $status: $(cat "$work/desktop.out")"
[ -s "$home/config/gatewarden/gatewarden.ini" ] || fail "no settings in \$XDG_CONFIG_HOME/gatewarden/"
ls -A "$root/usr/bin" | cmp -s - "$work/bin-before" || fail "the desktop program wrote beside itself"

[ "$failures" -eq 0 ] && echo "package $(basename "$deb"): all checks passed"
exit "$failures"
