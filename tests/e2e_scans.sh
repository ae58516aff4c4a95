#!/usr/bin/env bash
# Scans made here and elsewhere: ncdu and gdu read hollin --export's scans of
# a generated tree and of hostile trees with du's totals, and hollin --report
# of a scan (Hollin's, ncdu -o's, gdu -o's, and scans exported again) prints
# what the live tree prints.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
gen=${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/bench/gen_tree.py
for tool in ncdu gdu; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/hollin-e2e-scans-XXXXXX)
trap 'python3 "$gen" --remove "$work/t/generated" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
limit=${HOLLIN_E2E_LIMIT:-600}

t=$work/t # the trees; scans and reports stay outside them
mkdir "$t"
python3 "$gen" -n 3000 "$t/generated" >/dev/null || fail "could not generate a tree with $gen"
python3 - "$t" <<'EOF'
import os, sys
work = sys.argv[1].encode()
def write(path, n, dir_fd=None):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=dir_fd)
    os.write(fd, b"x" * n) if n else None
    os.close(fd)
names = os.path.join(work, b"names")
os.mkdir(names)
for b in range(1, 256):
    if b == ord("/"): continue
    write(os.path.join(names, b"in" + bytes([b]) + b"side"), b * 37)
for n in [b"a\nb", b"caf\xe9", b"\xff\xfe", b"\xc0\xaf", b"L" * 255, b'"', b"\\", b"\\u0041"]:
    write(os.path.join(names, n), len(n) * 100)
deep = os.path.join(work, b"deep")
os.mkdir(deep)
fd = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
for _ in range(3000):
    os.mkdir(b"d", dir_fd=fd)
    nxt = os.open(b"d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = nxt
write(b"leaf", 8192, dir_fd=fd)
os.close(fd)
links = os.path.join(work, b"links")
os.mkdir(links)
os.symlink(b"b", os.path.join(links, b"a"))
os.symlink(b"a", os.path.join(links, b"b"))
os.symlink(b"/", os.path.join(links, b"root"))
write(os.path.join(links, b"hard"), 30000)
os.link(os.path.join(links, b"hard"), os.path.join(links, b"hard2"))
os.mkfifo(os.path.join(links, b"fifo"))
fd = os.open(os.path.join(links, b"sparse"), os.O_WRONLY | os.O_CREAT, 0o644)
os.ftruncate(fd, 1 << 34)
os.pwrite(fd, b"data", 1 << 33)
os.close(fd)
EOF

bounded() { timeout "$limit" "$@" || fail "$(printf '%q ' "$@")exited $?"; }
dsizes() { grep -ao '[^\\]"dsize":[0-9]*' "$1" | awk -F: '{s += $2} END {printf "%d\n", s}'; }
same() { # what, file, file: the same lines (entries of one size may come in any order)
    cmp -s <(LC_ALL=C sort "$2") <(LC_ALL=C sort "$3") || { diff "$2" "$3" | head -10 >&2; fail "$1"; }
}

for tree in generated names deep links; do
    p=$t/$tree s=$work/$tree
    started=$SECONDS
    bounded "$hollin" --report "$p" >"$s.live"
    bounded "$hollin" --export "$s.hollin.json" "$p"
    du_links=$(du -sxl -B1 "$p" | cut -f1)

    # ncdu reads Hollin's scan: what it writes back holds du -l's total.
    bounded ncdu -q -f "$s.hollin.json" -o "$s.ncdu-again.json" 2>/dev/null
    [ "$(dsizes "$s.ncdu-again.json")" = "$du_links" ] ||
        fail "$tree: ncdu read back $(dsizes "$s.ncdu-again.json") bytes, du -sxl says $du_links"
    # gdu counts each hard-linked file once and every folder as 4096 bytes,
    # whatever it holds: du's figures, counted its way.
    gdu_total=$(bounded gdu -n -p --no-prefix -s -f "$s.hollin.json" | awk '{print $1}')
    gdu_way=$(find "$p" -xdev -printf '%y %i %b\n' |
        awk '$1 == "d" {s += 4096; next} !seen[$2]++ {s += $3 * 512} END {printf "%d\n", s}')
    [ "$gdu_total" = "$gdu_way" ] || fail "$tree: gdu read $gdu_total bytes, du's count its way is $gdu_way"

    # Hollin reads its own scan and ncdu's as the live tree.
    bounded "$hollin" --report "$s.hollin.json" >"$s.from-hollin"
    same "$tree: the report of Hollin's scan differs from the live one" "$s.live" "$s.from-hollin"
    bounded ncdu -q -x -o "$s.ncdu.json" "$p" 2>/dev/null
    bounded "$hollin" --report "$s.ncdu.json" >"$s.from-ncdu"
    same "$tree: the report of ncdu's scan differs from the live one" "$s.live" "$s.from-ncdu"
    # A scan exported again is Hollin's own scan unchanged, and ncdu's
    # reports as before.
    bounded "$hollin" --export "$s.again.json" "$s.hollin.json"
    cmp -s "$s.hollin.json" "$s.again.json" || fail "$tree: Hollin's scan exported again differs"
    bounded "$hollin" --export "$s.ncdu-again.hollin.json" "$s.ncdu.json"
    bounded "$hollin" --report "$s.ncdu-again.hollin.json" >"$s.from-ncdu-again"
    same "$tree: ncdu's scan exported again reports otherwise" "$s.live" "$s.from-ncdu-again"

    # gdu's scans give folders no size of their own and replace names that
    # are not UTF-8: the files' bytes are all that can match. (gdu's walk
    # gives up on paths longer than the system's limit: not the deep tree.)
    [ $tree = deep ] && { echo "$tree: scans agree ($((SECONDS - started)) s)"; continue; }
    bounded gdu -n -p -x -o "$s.gdu.json" "$p" >/dev/null
    bounded "$hollin" --report "$s.gdu.json" >"$s.from-gdu"
    # gdu marks a hard-linked file's names after the first only: those
    # marked count once among themselves.
    gdu_files=$(python3 -c '
import json, sys
seen, total = set(), 0
def walk(folder):
    global total
    for e in folder[1:]:
        if isinstance(e, list):
            walk(e)
        elif not (e.get("hlnkc") and e.get("ino") in seen):
            seen.add(e.get("ino")) if e.get("hlnkc") else None
            total += e.get("dsize", 0)
walk(json.load(open(sys.argv[1], encoding="utf-8", errors="surrogateescape"))[3])
print(total)' "$s.gdu.json")
    [ "$(tail -n1 "$s.from-gdu" | cut -f1)" = "$gdu_files" ] ||
        fail "$tree: the report of gdu's scan totals $(tail -n1 "$s.from-gdu" | cut -f1), not $gdu_files"
    # Apparent sizes, items and times travel too: an extended scan (Hollin's,
    # ncdu -e's) reports what the live tree does.
    for opts in "--apparent-size --time" --inodes; do
        bounded "$hollin" --report $opts "$p" >"$s.live-more"
        bounded "$hollin" --export --extended "$s.extended.json" "$p"
        bounded "$hollin" --report $opts "$s.extended.json" >"$s.from-extended"
        same "$tree: $opts of an extended scan differs from the live one" "$s.live-more" "$s.from-extended"
        bounded ncdu -q -x -e -o "$s.ncdu-e.json" "$p" 2>/dev/null
        bounded "$hollin" --report $opts "$s.ncdu-e.json" >"$s.from-ncdu-e"
        same "$tree: $opts of ncdu -e's scan differs from the live one" "$s.live-more" "$s.from-ncdu-e"
    done
    echo "$tree: scans agree ($((SECONDS - started)) s)"
done

# A scan without times (ncdu without -e) does not make them up.
status=0
"$hollin" --report --time "$work/generated.ncdu.json" >"$work/out" 2>"$work/err" || status=$?
[ $status -eq 1 ] && [ ! -s "$work/out" ] && grep -qF "does not hold modification times" "$work/err" ||
    fail "--time on a scan without times: status $status, $(cat "$work/err")"

# A damaged scan: the clear error, status 1, nothing on stdout.
head -c 2000 "$work/generated.hollin.json" >"$work/cut.json"
status=0
"$hollin" --report "$work/cut.json" >"$work/out" 2>"$work/err" || status=$?
[ $status -eq 1 ] || fail "a cut scan exited $status"
[ -s "$work/out" ] && fail "a cut scan printed a report"
grep -qE "^hollin: $work/cut.json: not a scan file: the scan ends early at byte 2000$" "$work/err" ||
    fail "a cut scan said: $(cat "$work/err")"
# An export that cannot be made leaves no file behind.
status=0
"$hollin" --export "$work/absent.json" "$t/absent" 2>"$work/err" || status=$?
[ $status -eq 1 ] && [ ! -e "$work/absent.json" ] && grep -qF "hollin: $t/absent: " "$work/err" ||
    fail "an export of a missing folder: status $status, $(cat "$work/err")"

echo "e2e_scans: ok"
