#!/usr/bin/env bash
# The two Debian packages of this build, checked as a packager and a user would, without
# installing them on this machine: what each holds and depends on, lintian, the desktop entry,
# the manual pages and the unit; then, from a throwaway extraction, the headless program's
# --version and --check of the shipped settings, and a run of the desktop program in a fresh
# home that ends with SIGTERM. tests/service/ installs them under a real systemd.
# Usage: package_test.sh BUILD_FOLDER
set -euo pipefail
build=$1
. "$(dirname "$0")/../lib/gwtest.sh"
make_work package
desktop_pid=""
at_exit '[ -z "$desktop_pid" ] || kill -KILL "$desktop_pid" 2>/dev/null'
keep_going=1

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  exit 1
fi
relay=$(ls "$work"/out/gatewarden-headless_*.deb)
desktop=$(ls "$work"/out/gatewarden_*.deb)

# What each holds.
listing() { dpkg-deb -c "$1" | awk '{print $6}' | grep -v '/$'; }
holds() { # PACKAGE PATH...: exactly these files
  local deb=$1
  shift
  local have
  have=$(listing "$deb" | sort)
  [ "$have" = "$(printf '%s\n' "$@" | sort)" ] || fail "$(basename "$deb") holds: $have"
}
doc() { echo "./usr/share/doc/$1/copyright ./usr/share/doc/$1/changelog.Debian.gz ./usr/share/lintian/overrides/$1"; }
# shellcheck disable=SC2046 # the file lists split on purpose
examples=./usr/share/doc/gatewarden-headless/examples
holds "$relay" ./usr/bin/gatewarden-headless ./lib/systemd/system/gatewarden.service ./etc/gatewarden/gatewarden.ini \
  ./usr/share/man/man1/gatewarden-headless.1.gz $(doc gatewarden-headless) \
  ./usr/share/doc/gatewarden-headless/README.md.gz ./usr/share/doc/gatewarden-headless/fastpath.md.gz \
  $examples/gatewarden-alerts.yml $examples/gatewarden-dashboard.json
icons=(./usr/share/icons/hicolor/scalable/apps/gatewarden.svg)
for n in 16 22 24 32 48 64 128 256; do icons+=("./usr/share/icons/hicolor/${n}x${n}/apps/gatewarden.png"); done
# shellcheck disable=SC2046
holds "$desktop" ./usr/bin/gatewarden ./usr/share/applications/gatewarden.desktop ./usr/share/man/man1/gatewarden.1.gz \
  "${icons[@]}" $(doc gatewarden)

# What they depend on, as dpkg-shlibdeps found it: the relay on the metrics' libraries and
# on no Qt.
depends=$(dpkg-deb -f "$relay" Depends)
for library in libuv1 libsystemd0 libprometheus-cpp-pull1.0 libcivetweb1; do
  [[ "$depends" == *"$library"* ]] || fail "the relay lacks $library: $depends"
done
[[ "$depends" != *qt* ]] || fail "the relay depends on Qt: $depends"
depends=$(dpkg-deb -f "$desktop" Depends)
for library in libuv1 libqt6widgets6 libqt6core6; do
  [[ "$depends" == *"$library "* ]] || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb --ctrl-tarfile "$relay" | tar -xO ./conffiles)" = /etc/gatewarden/gatewarden.ini ] || fail "no conffile"
lintian --fail-on error,warning "$relay" "$desktop" 2>/dev/null || fail "lintian"

dpkg-deb -x "$relay" "$work/root"
dpkg-deb -x "$desktop" "$work/root"
root=$work/root

version=$("$root/usr/bin/gatewarden-headless" --version)
[ "$version" = "gatewarden-headless $(dpkg-deb -f "$relay" Version | sed 's/-[^-]*$//')" ] || fail "--version says '$version'"
# The shipped settings read, and serve nothing.
check=$("$root/usr/bin/gatewarden-headless" --check --config "$root/etc/gatewarden/gatewarden.ini") || fail "--check: $check"
[[ "$check" == *": 0 static tunnels; remote control off (Temporary=0); metrics off; fast path off (FastPath=0); no masters" ]] ||
  fail "the shipped settings: $check"
# The desktop program answers --help and --version where there is no display.
for option in --help --version; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/gatewarden" "$option" 2>&1) ||
    fail "gatewarden $option without a display: $out"
done
[ "$out" = "gatewarden $(dpkg-deb -f "$desktop" Version | sed 's/-[^-]*$//')" ] || fail "gatewarden --version says '$out'"
# A display that does not answer, and a wrong option: one line and status 2, not Qt's abort.
desktop_fails() { # EXPECTED-LINE-PART ENV-AND-ARGS...
  local expected=$1 status=0
  shift
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work" "$@" 2>&1) || status=$?
  [ "$status" -eq 2 ] && [[ "$(head -1 <<<"$out")" == *"$expected"* ]] || fail "gatewarden $*: status $status, $out"
}
stale=":$((RANDOM + 30000))"
desktop_fails "the display does not answer (DISPLAY=$stale," DISPLAY="$stale" "$root/usr/bin/gatewarden"
[ "$(wc -l <<<"$out")" -eq 1 ] || fail "a stale DISPLAY takes more than one line: $out"
desktop_fails "the display does not answer (DISPLAY=, WAYLAND_DISPLAY=wayland-gw)" WAYLAND_DISPLAY=wayland-gw \
  "$root/usr/bin/gatewarden"
desktop_fails "unexpected argument '--bogus'" "$root/usr/bin/gatewarden" --bogus

# What an operator reads beside the relay, and what Prometheus and Grafana take from it.
for text in README.md fastpath.md; do
  gzip -t "$root/usr/share/doc/gatewarden-headless/$text.gz" || fail "$text.gz is no gzip file"
done
if command -v promtool >/dev/null; then
  promtool check rules "$root/$examples/gatewarden-alerts.yml" >"$work/promtool.log" 2>&1 ||
    fail "promtool check rules: $(cat "$work/promtool.log")"
else
  echo "the alert rules are not checked: no promtool (Debian's prometheus package)"
fi
python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$root/$examples/gatewarden-dashboard.json" ||
  fail "the dashboard is not JSON"

desktop-file-validate "$root/usr/share/applications/gatewarden.desktop" || fail "the desktop entry does not validate"
for page in gatewarden gatewarden-headless; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

unit=$root/lib/systemd/system/gatewarden.service
for line in 'ExecStart=/usr/bin/gatewarden-headless --config /etc/gatewarden/gatewarden.ini' \
            'ExecReload=/usr/bin/gatewarden-headless --check --config /etc/gatewarden/gatewarden.ini' \
            'ExecReload=/bin/kill -HUP $MAINPID' 'Type=notify' 'DynamicUser=yes' 'ProtectSystem=strict'; do
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

[ "$failures" -eq 0 ] && echo "packages $(basename "$relay") and $(basename "$desktop"): all checks passed"
exit "$failures"
