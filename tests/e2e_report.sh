#!/usr/bin/env bash
# hollin --report against du -axl -B1 -d1 on a generated tree: the same lines
# (paths as raw bytes), ours largest first with the root last; and the error
# for a path that cannot be examined.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
gen=${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/bench/gen_tree.py
work=$(mktemp -d /tmp/hollin-e2e-report-XXXXXX)
trap 'python3 "$gen" --remove "$work/g" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

python3 "$gen" -n 20000 "$work/g" >/dev/null || fail "could not generate a tree with $gen"

check() { # PATH
    local path=$1
    "$hollin" --report "$path" >"$work/ours" 2>"$work/err" || fail "report of $path exited $?"
    du -axl -B1 -d1 "$path" >"$work/du"
    LC_ALL=C sort "$work/ours" >"$work/ours.sorted"
    LC_ALL=C sort "$work/du" >"$work/du.sorted"
    cmp -s "$work/ours.sorted" "$work/du.sorted" ||
        { diff "$work/ours.sorted" "$work/du.sorted" | head -20 >&2; fail "lines differ from du for $path"; }
    [ -s "$work/err" ] && { cat "$work/err" >&2; fail "stderr not empty (not a terminal) for $path"; }
    # Last line is the root itself, as given.
    [ "$(tail -n 1 "$work/ours" | cut -f2-)" = "$path" ] || fail "last line is not the root for $path"
    # Largest first (sizes of the entries before the root line never grow).
    head -n -1 "$work/ours" | cut -f1 | grep -E '^[0-9]+$' | LC_ALL=C sort -s -n -r -c ||
        fail "entries of $path are not largest first"
}

check "$work/g"
check "$work/g/special"
check "$work/g/special/names"   # newlines, tabs, invalid UTF-8, 255-byte names
check "$work/g/tree/flat"       # one big folder
check "$work/g/big/"            # a trailing slash is kept as given
check "$work/g/special/sparse"

# A plain file: just the root line.
f=$(find "$work/g/big" -maxdepth 1 -type f | head -n 1)
"$hollin" --report "$f" >"$work/ours"
[ "$(cat "$work/ours")" = "$(du -axl -B1 -d1 "$f")" ] || fail "plain file report differs from du"

# A path that cannot be examined.
set +e
"$hollin" --report "$work/absent" >"$work/out" 2>"$work/err"
status=$?
set -e
[ $status -eq 1 ] || fail "absent path exited $status"
[ "$(cat "$work/err")" = "hollin: $work/absent: No such file or directory" ] || fail "absent path said: $(cat "$work/err")"
[ -s "$work/out" ] && fail "absent path printed something on stdout"

echo "e2e_report: ok"
