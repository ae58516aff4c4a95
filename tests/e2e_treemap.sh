#!/usr/bin/env bash
# hollin --treemap on a generated tree (awkward names included): the SVG has
# one <rect> per drawn entry, nested in its folder's group, inside it, with
# its path as the window shows it, its bytes and a title, and areas in
# proportion to bytes; the PNG has the size asked for (1600x1000 unless
# given); bad paths, sizes and names are refused with exit 1, and a picture
# that cannot be written (a full disk) leaves the file that was there whole.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
gen=${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/bench/gen_tree.py
work=$(mktemp -d /tmp/hollin-e2e-treemap-XXXXXX)
mounted=""
trap '[ -n "$mounted" ] && umount "$mounted"; python3 "$gen" --remove "$work/g" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

python3 "$gen" -n 3000 "$work/g" >/dev/null || fail "could not generate a tree with $gen"
names=$work/g/special/names

"$hollin" --treemap "$work/g" "$work/g.svg" 900x600 2>"$work/err" || fail "svg exited $?"
"$hollin" --treemap "$names" "$work/names.svg" 400x300 2>"$work/err" || fail "svg of names exited $?"
python3 - "$work/g.svg" "$(du -sx -B1 "$work/g" | cut -f1)" "$work/g" 900 600 <<'PY' || fail "svg of the tree"
import sys, xml.etree.ElementTree as ET
path, du, root, W, H = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
NS = "{http://www.w3.org/2000/svg}"
svg = ET.parse(path).getroot()
assert svg.get("width") == str(W) and svg.get("height") == str(H), svg.attrib
top = svg.find(NS + "g")
first = top.find(NS + "rect")
assert first.get("data-path") == root, first.get("data-path")
assert int(first.get("data-bytes")) == du, (first.get("data-bytes"), du)
area = float(first.get("width")) * float(first.get("height"))
count = 0
def walk(group, parent):
    global count
    rect = group.find(NS + "rect")
    for child in group:
        if child.tag == NS + "g":
            walk(child, rect)
        elif child.tag == NS + "rect" and child is not rect:
            check(child, rect)
    if parent is not None:
        check(rect, parent, counted=False)
def check(r, parent, counted=True):
    global count
    count += counted
    x, y, w, h = (float(r.get(k)) for k in ("x", "y", "width", "height"))
    px, py, pw, ph = (float(parent.get(k)) for k in ("x", "y", "width", "height"))
    e = 0.02
    assert x >= px - e and y >= py - e and x + w <= px + pw + e and y + h <= py + ph + e, r.get("data-path")
    assert r.get("data-path").startswith(parent.get("data-path") + "/"), r.get("data-path")
    assert r.find(NS + "title").text.startswith(r.get("data-path") + "\n")
    share = int(r.get("data-bytes")) / du
    assert abs(w * h / area - share) < 0.001 + 0.01 * share, (r.get("data-path"), w * h / area, share)
walk(top, None)
assert count > 50, count
PY
# A folder of 20,000 small files is drawn down to every one of them, a few
# pixels each, where a folder deeper down would be one block.
mkdir "$work/many"
python3 -c '
import os, sys
for i in range(20000):
    with open(os.path.join(sys.argv[1], "s%05d" % i), "wb") as f: f.write(b"x")
' "$work/many"
"$hollin" --treemap "$work/many" "$work/many.svg" 400x300 2>"$work/err" || fail "svg of many exited $?"
[ "$(grep -c '<rect ' "$work/many.svg")" -eq 20001 ] ||
    fail "a folder of 20000 files drew $(grep -c '<rect ' "$work/many.svg") rectangles, not 20001"
python3 - "$work/names.svg" <<'PY' || fail "svg of awkward names"
import sys, xml.etree.ElementTree as ET
paths = [r.get("data-path") for r in ET.parse(sys.argv[1]).iter("{http://www.w3.org/2000/svg}rect")]
assert any("\\x" in p for p in paths), paths  # invalid UTF-8 shown as \xNN
assert all("\ufffd" not in p for p in paths), paths
PY

"$hollin" --treemap "$work/g" "$work/g.png" 640x400 2>"$work/err" || fail "png exited $?"
"$hollin" --treemap "$work/g/tree" "$work/d.PNG" 2>"$work/err" || fail "png at the default size exited $?"
size() { python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); assert d[:8]==b"\x89PNG\r\n\x1a\n"; print("%dx%d" % struct.unpack(">II", d[16:24]))' "$1"; }
[ "$(size "$work/g.png")" = 640x400 ] || fail "png is $(size "$work/g.png")"
[ "$(size "$work/d.PNG")" = 1600x1000 ] || fail "default png is $(size "$work/d.PNG")"

refused() { # expected-message-part args...
    local want=$1 status
    shift
    set +e
    "$hollin" --treemap "$@" >"$work/out" 2>"$work/err"
    status=$?
    set -e
    [ $status -eq 1 ] || fail "$* exited $status"
    grep -q -- "$want" "$work/err" || fail "$* said: $(cat "$work/err")"
}
refused "No such file or directory" "$work/absent" "$work/a.png"
for bad in 0x10 10x 12x-3 abc 99999x10 1600X1000 "16 00x10"; do refused "bad picture size" "$work/g" "$work/b.png" "$bad"; done
refused "must end in .png or .svg" "$work/g" "$work/b.jpg"
refused "could not be written" "$work/g" "$work/no/such/folder/b.svg"
refused "could not be written" "$work/g" "$work/no/such/folder/b.png"
[ ! -e "$work/b.png" ] || fail "a refused size wrote a picture"

# A picture that cannot be written leaves the one already there whole.
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: a full tmpfs needs root"
    echo "e2e_treemap: ok"
    exit 0
fi
mkdir "$work/small"
if ! mount -t tmpfs -o size=64k tmpfs "$work/small" 2>"$work/err"; then
    echo "SKIP: cannot mount a tmpfs here: $(cat "$work/err")"
    echo "e2e_treemap: ok"
    exit 0
fi
mounted=$work/small
echo old >"$work/small/map.svg"
echo old >"$work/small/map.png"
dd if=/dev/zero of="$work/small/fill" bs=4k 2>/dev/null || true
for picture in map.svg map.png; do
    refused "$work/small/$picture: the picture could not be written: No space left on device" \
        "$work/g" "$work/small/$picture"
    [ "$(cat "$work/small/$picture")" = old ] || fail "a full disk changed $picture"
done
[ "$(ls -A "$work/small" | tr '\n' ' ')" = "fill map.png map.svg " ] ||
    fail "a full disk left $(ls -A "$work/small")"

echo "e2e_treemap: ok"
