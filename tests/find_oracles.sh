# shellcheck shell=bash
# Sourced by the e2e scripts: hollin --largest, --kinds, --find and
# --find --caches set against find and du. Needs $hollin, $work and fail.
# Commands run through "${reader[@]}" (empty by default; a wrapper that
# drops privileges, for folders only root could otherwise read), oracles
# included, so that both sides see the same tree.
: "${hollin:?}" "${work:?}"
reader=()
reader_python=python3 # one the reader may run

# Lines are "<bytes>\t<path>\n" with the path's raw bytes, so a name may hold
# a newline: our output is taken apart only where the bytes so far name a path
# the oracle expects and the next record begins, never at each newline.
find_oracle_py='
import os, re, sys
mode, ours_file, n, root = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4].encode()
records = []
for r in sys.stdin.buffer.read().split(b"\0"):
    if r:
        blocks, path = r.split(b"\t", 1)
        records.append((int(blocks) * 512, path))
ours = open(ours_file, "rb").read()

def read_start(path, most):
    # Past PATH_MAX too: one folder at a time, as a reader of deep trees must.
    parts = path.split(b"/")
    fd = os.open(b"/" if path.startswith(b"/") else b".", os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in parts[:-1]:
            if part:
                nxt = os.open(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = nxt
        f = os.open(parts[-1], os.O_RDONLY | os.O_NONBLOCK, dir_fd=fd)
        try:
            return os.read(f, most)
        finally:
            os.close(f)
    except OSError:
        return b""
    finally:
        os.close(fd)

if mode == "largest":
    records.sort(key=lambda r: (-r[0], r[1]))
    want = b"".join(b"%d\t%s\n" % r for r in records[:n])
    if ours != want:
        a, b = ours.split(b"\n"), want.split(b"\n")
        i = next(i for i in range(min(len(a), len(b)) + 1) if i >= len(a) or i >= len(b) or a[i] != b[i])
        sys.exit("first difference at line %d: ours %r, find %r" % (i + 1, a[i:i + 2], b[i:i + 2]))
    sys.exit(0)

if mode == "caches":
    signature = b"Signature: 8a477f597d28d172789f06886806bc55"
    expected = [os.path.dirname(p) for _, p in records
                if read_start(p, len(signature)) == signature]
    expected = [p for p in expected if p.rstrip(b"/") != root.rstrip(b"/")]
else:
    expected = [p for _, p in records]
remaining = {}
for p in expected:
    remaining[p] = remaining.get(p, 0) + 1
record_start = re.compile(rb"\d+\t")
extra, pos = [], 0
while pos < len(ours):
    m = record_start.match(ours, pos)
    if not m:
        sys.exit("not a record at byte %d: %r" % (pos, ours[pos:pos + 60]))
    start = end = m.end()
    chosen = first = None
    for _ in range(16):  # a path holds at most a few newlines
        end = ours.find(b"\n", end)
        if end < 0:
            break
        if end + 1 == len(ours) or record_start.match(ours, end + 1):
            first = end if first is None else first
            if remaining.get(ours[start:end]):
                chosen = end
                break
        end += 1
    if chosen is not None:
        remaining[ours[start:chosen]] -= 1
    elif first is not None:
        extra.append(ours[start:first])
        chosen = first
    else:
        sys.exit("no record end after byte %d: %r" % (pos, ours[pos:pos + 60]))
    pos = chosen + 1
missing = [p for p, left in remaining.items() if left]
if missing or extra:
    sys.exit("%d missing, e.g. %r; %d not expected, e.g. %r" % (len(missing), missing[:3], len(extra), extra[:3]))
'

# find_oracle MODE OURS N PATH [find expression...]: whether the output in
# OURS is find's answer. MODE largest: the N largest by blocks x 512, byte
# for byte and in order (ties by path); paths: the same paths in any order
# (a folder's figure is its total in ours, its own blocks in find's);
# caches: the folders holding a CACHEDIR.TAG file (not a link) that starts
# with the signature.
find_oracle() {
    local mode=$1 ours=$2 n=$3 path=$4
    shift 4
    # find fails where it cannot read: what it could read is the answer.
    { "${reader[@]}" find "$path" -xdev -mindepth 1 "$@" -printf '%b\t%p\0' 2>/dev/null || true; } |
        "${reader[@]}" "$reader_python" -c "$find_oracle_py" "$mode" "$ours" "$n" "$path"
}

# hollin ARGS... -> $work/ours (stdout) and $work/err. It must exit with
# $want_status: 0, or 1 where entries cannot be read, and then say so.
want_status=0
hollin_out() {
    local status=0
    "${reader[@]}" "$hollin" "$@" >"$work/ours" 2>"$work/err" || status=$?
    [ $status = "$want_status" ] || fail "hollin $(printf '%q ' "$@")exited $status: $(head -c 300 "$work/err")"
    [ $status = 0 ] || [ -s "$work/err" ] || fail "hollin $(printf '%q ' "$@")failed saying nothing"
}

# The kinds, and apart the extensions, add up to du's total, in bytes and
# in entries (each file once, however many names it has).
check_kinds_total() { # PATH (its --kinds in $work/ours)
    local bytes items
    bytes=$({ "${reader[@]}" du -sxB1 -- "$1" 2>/dev/null || true; } | cut -f1)
    items=$({ "${reader[@]}" du -sx --inodes -- "$1" 2>/dev/null || true; } | cut -f1)
    python3 - "$work/ours" "$bytes" "$items" <<'PY' || fail "--kinds $(printf %q "$1") does not add up to du's $bytes bytes, $items entries"
import re, sys
# An extension may hold a newline: a line goes on until the next "<n>\t<n>\t".
lines = [l.split(b"\t", 2) for l in re.findall(rb"\d+\t\d+\t.*?\n(?=\d+\t\d+\t|\Z)",
                                                open(sys.argv[1], "rb").read(), re.S)]
is_ext = lambda l: l[2].startswith(b".") or l[2] == b"none\n"
folders = [l for l in lines if l[2] == b"folders\n"]
assert len(folders) == 2, folders
kinds = [l for l in lines if not is_ext(l) and l[2] != b"folders\n"] + folders[:1]
exts = [l for l in lines if is_ext(l)] + folders[1:]
for part in (kinds, exts):
    assert sum(int(l[0]) for l in part) == int(sys.argv[2]), ("bytes", part[:5])
    assert sum(int(l[1]) for l in part) == int(sys.argv[3]), ("items", part[:5])
PY
}

# All four answers for the tree at PATH against find and du; GLOBs for
# --find --name.
check_find_oracles() { # PATH GLOB...
    local path=$1 glob
    shift
    hollin_out --largest 50 "$path"
    # Files: neither folders nor links (a tree keeps no other type: a pipe
    # counts, with its 0 blocks).
    find_oracle largest "$work/ours" 50 "$path" ! -type d ! -type l || fail "--largest 50 $(printf %q "$path") differs from find"
    hollin_out --kinds "$path"
    check_kinds_total "$path"
    for glob in "$@"; do
        hollin_out --find "$path" --name "$glob"
        find_oracle paths "$work/ours" 0 "$path" -name "$glob" ||
            fail "--find $(printf %q "$path") --name $(printf %q "$glob") differs from find -name"
    done
    hollin_out --find "$path" --caches
    find_oracle caches "$work/ours" 0 "$path" -name CACHEDIR.TAG -type f ||
        fail "--caches $(printf %q "$path") differs from the valid tags find finds"
}
