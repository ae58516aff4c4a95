#!/usr/bin/env bash
# hollin --export never destroys its FILE: a wrong PATH leaves an existing
# file, a FIFO and a device node as they were; a link to a file has its
# target replaced; a full disk leaves the old file whole and nothing beside it.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
work=$(mktemp -d /tmp/hollin-e2e-export-XXXXXX)
mounted=""
trap '[ -n "$mounted" ] && umount "$mounted"; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
refused() { # want-in-stderr, args...: exit 1 with a message
    local want=$1 status=0
    shift
    timeout 20 "$hollin" --export "$@" >"$work/out" 2>"$work/err" || status=$?
    [ $status -eq 1 ] || fail "--export $* exited $status"
    grep -qF -- "$want" "$work/err" || fail "--export $* said: $(cat "$work/err")"
}

mkdir "$work/tree"
python3 -c 'import os, sys
for i in range(3000): open(os.path.join(sys.argv[1], "file-%04d" % i), "w").write("x" * i)' "$work/tree"

echo old >"$work/srv.json"
refused "hollin: $work/typo: No such file or directory" "$work/srv.json" "$work/typo"
[ "$(cat "$work/srv.json")" = old ] || fail "a wrong PATH changed the file"

# A link to a file: the target gets the scan, the link stays a link.
ln -s srv.json "$work/link.json"
"$hollin" --export "$work/link.json" "$work/tree"
[ -L "$work/link.json" ] && grep -q '"name":"file-2999"' "$work/srv.json" || fail "the link's target was not replaced"
[ -z "$(find "$work" -maxdepth 1 -name '.*hollin-*')" ] || fail "a temporary file stayed behind"

# A FIFO is written in place, and left alone when PATH is wrong.
mkfifo "$work/fifo"
refused "No such file or directory" "$work/fifo" "$work/typo"
cat "$work/fifo" >"$work/from-fifo" &
timeout 20 "$hollin" --export "$work/fifo" "$work/tree" || fail "export into a FIFO exited $?"
wait
[ -p "$work/fifo" ] && grep -q '"name":"file-2999"' "$work/from-fifo" || fail "the FIFO did not carry the scan"

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: a device node and a full tmpfs need root"
    echo "e2e_export: ok"
    exit 0
fi
mknod "$work/null" c 1 3
refused "No such file or directory" "$work/null" "$work/typo"
"$hollin" --export "$work/null" "$work/tree" || fail "export into a device exited $?"
[ -c "$work/null" ] || fail "the device node was replaced"

mkdir "$work/small"
if ! mount -t tmpfs -o size=64k tmpfs "$work/small" 2>"$work/err"; then
    echo "SKIP: cannot mount a tmpfs here: $(cat "$work/err")"
    echo "e2e_export: ok"
    exit 0
fi
mounted=$work/small
echo old >"$work/small/scan.json"
refused "hollin: $work/small/scan.json: No space left on device" "$work/small/scan.json" "$work/tree"
[ "$(ls -A "$work/small")" = scan.json ] && [ "$(cat "$work/small/scan.json")" = old ] ||
    fail "a full disk left $(ls -A "$work/small")"

echo "e2e_export: ok"
