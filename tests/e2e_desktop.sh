#!/usr/bin/env bash
# End to end, as a desktop sees Hollin: installed into a temporary prefix, on
# a private session bus that knows only that prefix's service file, under
# Xvfb. GLib's own client (gdbus) makes the bus start Hollin, then reaches
# org.freedesktop.Application's Activate, Open and ActivateAction; a second
# `hollin FOLDER` hands over through Open with its startup id.
set -euo pipefail

bin=${HOLLIN_BINARY:?HOLLIN_BINARY is not set}
build=$(dirname "$bin")
for tool in xvfb-run dbus-run-session gdbus xdotool xprop desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "e2e_desktop: $tool is missing"; exit 1; }
done

if [ -z "${HOLLIN_E2E_INNER:-}" ]; then
  export HOLLIN_E2E_INNER=1
  work=$(mktemp -d /tmp/hollin-desktop-XXXXXX)
  trap 'rm -rf "$work"' EXIT
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  # The bus looks for service files under every XDG data folder, and what
  # it starts inherits its environment: no offscreen platform there.
  status=0
  HOLLIN_WORK=$work XDG_DATA_DIRS=$work/prefix/share XDG_DATA_HOME=$work/data \
    env -u QT_QPA_PLATFORM -u DESKTOP_STARTUP_ID -u XDG_ACTIVATION_TOKEN xvfb-run -a -n 160 -s "-screen 0 1280x800x24" dbus-run-session -- "$0" "$@" || status=$?
  exit $status
fi

work=$HOLLIN_WORK
prefix=$work/prefix
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state HOLLIN_NO_MOTD=1
mkdir -p "$HOME"
fail() { echo "e2e_desktop: $*"; exit 1; }
# The bus's child outlives the bus: end the Hollin it started, by its id.
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null || true' EXIT

# What the installed files say.
service=$prefix/share/dbus-1/services/io.hollin.Hollin.service
[ -x "$prefix/bin/hollin" ] || fail "no installed binary"
[ -f "$prefix/share/man/man1/hollin.1" ] || fail "no installed man page"
grep -qx "Exec=$prefix/bin/hollin --service" "$service" || fail "service file: $(cat "$service")"
grep -qx "DBusActivatable=true" "$prefix/share/applications/io.hollin.Hollin.desktop" ||
  fail "desktop entry is not D-Bus activatable"
desktop-file-validate "$prefix/share/applications/io.hollin.Hollin.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/io.hollin.Hollin.metainfo.xml" >/dev/null
"$prefix/bin/hollin" --help | grep -q -- "--service" || fail "--help does not list --service"

app() { # method, arguments...
  local method=$1
  shift
  gdbus call --session --dest io.hollin.Hollin --object-path /io/hollin/Hollin \
    --method "org.freedesktop.Application.$method" "$@"
}
owner_pid() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixProcessID io.hollin.Hollin 2>/dev/null |
    sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
}
window_named() { # exact title prefix; prints the newest window id
  local deadline=$((SECONDS + $2)) id
  while [ $SECONDS -lt $deadline ]; do
    for id in $(xdotool search --onlyvisible --name "." 2>/dev/null); do
      case "$(xdotool getwindowname "$id" 2>/dev/null)" in "$1"*) echo "$id"; return 0 ;; esac
    done
    sleep 0.2
  done
  echo "e2e_desktop: no window titled '$1...'; titles were:" >&2
  for id in $(xdotool search --onlyvisible --name "." 2>/dev/null); do
    xdotool getwindowname "$id" >&2 || true
  done
  return 1
}
startup_id_of() { xprop -id "$1" _NET_STARTUP_ID | sed -n 's/.*= "\(.*\)"$/\1/p'; }

# Nobody owns the name: the bus starts the installed Hollin for Activate.
[ -z "$(owner_pid)" ] || fail "the name is owned before the test"
app Activate '{"desktop-startup-id": <"e2e-activate_TIME0">}' >/dev/null
pid=$(owner_pid)
[ -n "$pid" ] || fail "Activate started no owner"
# hollin hands everything with a window to the windows program it installs.
[ "$(readlink "/proc/$pid/exe")" = "$prefix/libexec/hollin/hollin-windows" ] ||
  fail "the owner is $(readlink "/proc/$pid/exe"), not the installed hollin's windows program"
tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "--service" || fail "not started from the service file"
drives=$(window_named "Drives" 20)
[ "$(startup_id_of "$drives")" = "e2e-activate_TIME0" ] || fail "Activate's startup id was not used"
echo "e2e_desktop: the bus started $prefix/bin/hollin and Activate showed the drive list"

# Open decodes the URI byte for byte: \xe9 is not UTF-8 here.
folder=$work/caf$'\xe9'
mkdir -p "$folder"
head -c 100000 /dev/zero >"$folder/data"
mkdir -p "$work/plain"
app Open "['file://$work/caf%E9', 'file://localhost$work/plai%6E/']" \
  '{"desktop-startup-id": <"e2e-open">}' >/dev/null
# Both opened; the last one named in the call is the one brought forward.
window_named "$work/caf\\xE9 - " 30 >/dev/null
latest=$(window_named "$work/plain - " 30)
[ "$(startup_id_of "$latest")" = "e2e-open" ] || fail "Open's startup id went elsewhere"
if app Open "['https://example.invalid/x']" '{}' 2>"$work/err" >/dev/null; then
  fail "a web URI was taken"
fi
grep -q "file://" "$work/err" || fail "refusal does not say why: $(cat "$work/err")"
echo "e2e_desktop: Open opened the non-UTF-8 folder and refused a web URI"

# A second hollin hands its folder over through Open, with its startup id.
mkdir -p "$work/second"
DESKTOP_STARTUP_ID=e2e-second_TIME0 timeout 20 "$prefix/bin/hollin" "$work/second"
second=$(window_named "$work/second - " 30)
[ "$(startup_id_of "$second")" = "e2e-second_TIME0" ] || fail "second hollin's startup id was lost"
[ "$(owner_pid)" = "$pid" ] || fail "the second hollin took over the name"
echo "e2e_desktop: a second hollin handed over through Open"

app ActivateAction "drive-list" "[]" "{}" >/dev/null
app ActivateAction "quit" "[]" "{}" >/dev/null
for _ in $(seq 600); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
[ ! -d "/proc/$pid" ] || fail "ActivateAction quit did not end hollin"
pid=""
echo "e2e_desktop: passed"
