#!/usr/bin/env bash
# End to end: the real hollin under Xvfb on a generated tree. Waits for the
# window title to carry the final size, checks it against du, hands a second
# folder over from a second invocation, then quits cleanly.
set -euo pipefail

bin=${HOLLIN_BINARY:?HOLLIN_BINARY is not set}
gen=${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/bench/gen_tree.py
for tool in xvfb-run dbus-run-session xdotool python3 du; do
  command -v "$tool" >/dev/null || { echo "e2e_app: $tool is missing"; exit 1; }
done

if [ -z "${HOLLIN_E2E_INNER:-}" ]; then
  export HOLLIN_E2E_INNER=1
  # Each Xvfb test starts looking for a free display at its own number:
  # two started at once from the same number may both take it.
  exec xvfb-run -a -n 120 -s "-screen 0 1600x1000x24" dbus-run-session -- "$0" "$@"
fi

work=$(mktemp -d /tmp/hollin-e2e-XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  python3 "$gen" --remove "$work/gen" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state HOLLIN_NO_MOTD=1
mkdir -p "$HOME"
unset QT_QPA_PLATFORM

python3 "$gen" -n "${HOLLIN_E2E_FILES:-20000}" "$work/gen" >/dev/null ||
  { echo "e2e_app: could not generate a tree with $gen"; exit 1; }
root=$work/gen/tree
second=$work/gen/big

# The abbreviation hollin shows, worked out independently.
abbreviate() {
  python3 - "$1" <<'PY'
import sys
n = int(sys.argv[1])
units = ["B", "KB", "MB", "GB", "TB", "PB", "EB"]
if n < 1024:
    print(f"{n} B"); sys.exit()
v, u = float(n), 0
while v >= 1024 and u < 6:
    v /= 1024; u += 1
if v < 99.95: print(f"{v:.1f} {units[u]}")
elif v < 1023.5 or u == 6: print(f"{v:.0f} {units[u]}")
else: print(f"1.0 {units[u+1]}")
PY
}

window_titles() { xdotool search --onlyvisible --name "." getwindowname %@ 2>/dev/null || true; }

wait_for_title() { # text, seconds[, x: the whole title]
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    if window_titles | grep -F${3:-} -- "$1" >/dev/null; then return 0; fi
    sleep 0.3
  done
  echo "e2e_app: no window titled like '$1'; titles were:"; window_titles
  echo "e2e_app: hollin said:"; cat "$work/stderr" 2>/dev/null || true
  return 1
}

"$bin" "$root" 2>"$work/stderr" &
pid=$!

wait_for_title "$root" 30
expected=$(abbreviate "$(du -sx -B1 "$root" | cut -f1)")
# The whole title: while sizing, the same figure may show with "(sizing)".
wait_for_title "$root - $expected" 120 x
echo "e2e_app: window shows $root - $expected"
[ -n "${HOLLIN_E2E_SHOTS:-}" ] && import -window root "$HOLLIN_E2E_SHOTS/browser.png"

# A second invocation hands its folder to the running instance and exits.
timeout 20 "$bin" "$second"
expected2=$(abbreviate "$(du -sx -B1 "$second" | cut -f1)")
wait_for_title "$second - $expected2" 60 x
kill -0 "$pid"
echo "e2e_app: second folder handed over"

# Quit cleanly, as the Quit command does.
dbus-send --session --type=method_call --dest=io.hollin.Hollin /io/hollin/Hollin io.hollin.Hollin.Quit
for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then echo "e2e_app: hollin did not quit"; exit 1; fi
status=0; wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || { echo "e2e_app: exit status $status"; cat "$work/stderr"; exit 1; }
echo "e2e_app: passed"
