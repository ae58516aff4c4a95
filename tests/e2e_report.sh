#!/usr/bin/env bash
# hollin --report against du -ax -B1 -d1 (each file counted once, however
# many names it has) and --report --links-each against du -axl -B1 -d1 on a
# generated tree that holds hard links: the same lines (paths as raw bytes),
# ours largest first with the root last; and the error for a path that
# cannot be examined.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
gen=${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/bench/gen_tree.py
work=$(mktemp -d /tmp/hollin-e2e-report-XXXXXX)
trap 'python3 "$gen" --remove "$work/g" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

python3 "$gen" -n 20000 "$work/g" >/dev/null || fail "could not generate a tree with $gen"

# Each line's path replaced by its file's device and inode: which of a
# file's names in one folder carries its bytes follows du's walk order (the
# disk's listing order) in du and the first by name in Hollin.
byfile() { # FILE COLUMNS: paths without newlines, after COLUMNS figures
    python3 -c '
import os, sys
n = int(sys.argv[2])
for line in open(sys.argv[1], "rb").read().splitlines():
    fields = line.split(b"\t", n)
    st = os.lstat(fields[n])
    print("%s\t%d:%d" % (b"\t".join(fields[:n]).decode(), st.st_dev, st.st_ino))' "$1" "$2" | LC_ALL=C sort
}

# The report's options, and du's for the same figures.
option_sets=("" --links-each "--apparent-size --time" "--inodes --links-each")
du_options() { # OPTIONS
    local out=-ax
    [[ $1 == *--links-each* ]] && out+=l
    if [[ $1 == *--inodes* ]]; then out+=" --inodes"; else out+=" -B1"; fi
    [[ $1 == *--apparent-size* ]] && out+=" --apparent-size"
    [[ $1 == *--time* ]] && out+=" --time --time-style=+%s"
    echo "$out"
}

check() { # PATH [byfile|total]: in the default count, with byfile the lines
    # are compared by file (see byfile); with total only the root's line is,
    # for a root whose entries share files.
    local path=$1 how=${2:-}
    for opts in "${option_sets[@]}"; do
        each= && [[ $opts == *--links-each* ]] && each=l
        "$hollin" --report $opts "$path" >"$work/ours" 2>"$work/err" || fail "report $opts of $path exited $?"
        du $(du_options "$opts") -d1 "$path" >"$work/du"
        if [ -z "$each" ] && [ "$how" = total ]; then
            [ "$(tail -n 1 "$work/ours")" = "$(tail -n 1 "$work/du")" ] || fail "total differs from du -ax for $path"
            continue
        elif [ -z "$each" ] && [ "$how" = byfile ]; then
            cols=1 && [[ $opts == *--time* ]] && cols=2
            byfile "$work/ours" $cols >"$work/ours.sorted"
            byfile "$work/du" $cols >"$work/du.sorted"
        else
            LC_ALL=C sort "$work/ours" >"$work/ours.sorted"
            LC_ALL=C sort "$work/du" >"$work/du.sorted"
        fi
        cmp -s "$work/ours.sorted" "$work/du.sorted" ||
            { diff "$work/ours.sorted" "$work/du.sorted" | head -20 >&2; fail "lines differ from du $(du_options "$opts") for $path"; }
    done
    [ -s "$work/err" ] && { cat "$work/err" >&2; fail "stderr not empty (not a terminal) for $path"; }
    # Last line is the root itself, as given.
    [ "$(tail -n 1 "$work/ours" | cut -f2-)" = "$path" ] || fail "last line is not the root for $path"
    # Largest first (sizes of the entries before the root line never grow).
    head -n -1 "$work/ours" | cut -f1 | grep -E '^[0-9]+$' | LC_ALL=C sort -s -n -r -c ||
        fail "entries of $path are not largest first"
}

# Names of one file in tree/ and special/ (a 100 KiB file of 50 names too):
# each counted once.
[ "$(du -sx -B1 "$work/g" | cut -f1)" -lt "$(du -sxl -B1 "$work/g" | cut -f1)" ] ||
    fail "the generated tree holds no hard links"
check "$work/g" total
check "$work/g/special"
check "$work/g/special/hardlinks" byfile
check "$work/g/tree" byfile
check "$work/g/special/names"   # newlines, tabs, invalid UTF-8, 255-byte names
check "$work/g/tree/flat" byfile # one big folder
check "$work/g/big/"            # a trailing slash is kept as given
check "$work/g/special/sparse"
check /usr # a real system tree

# A folder of more names than are read ahead, with folders among them: read
# where its names become nodes, which it gives back as it goes; as a root
# and inside another folder.
python3 - "$work/h/huge" <<'EOF'
import os, sys
os.makedirs(sys.argv[1] + "/sub/deeper")
for i in range(9000):
    with open("%s/f%05d" % (sys.argv[1], i), "wb") as f:
        f.write(b"x" * (5000 if i % 7 == 0 else i % 3))
for i in range(40):
    with open("%s/sub/deeper/g%02d" % (sys.argv[1], i), "wb") as f:
        f.write(b"y" * 9000)
for i in range(0, 9000, 450): # folders in every chunk its names are examined in
    os.makedirs("%s/f%05dd/in" % (sys.argv[1], i))
    with open("%s/f%05dd/in/h" % (sys.argv[1], i), "wb") as f:
        f.write(b"z" * (i + 1))
EOF
check "$work/h"
check "$work/h/huge"

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
