#!/usr/bin/env bash
# hollin --largest, --kinds and --find against find and du on a generated
# tree (awkward names and hard links included) and on /usr: the 50 largest
# files are find's, byte for byte; the kinds and the extensions each add up
# to du's total; names, sizes, dates, kinds and CACHEDIR.TAG select what find
# selects; a scan answers as the folder did; bad input is refused.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
gen=${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/bench/gen_tree.py
work=$(mktemp -d /tmp/hollin-e2e-find-XXXXXX)
trap 'python3 "$gen" --remove "$work/g" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
python3 "$gen" -n 20000 "$work/g" >/dev/null || fail "could not generate a tree with $gen"

# find's answer in our format: "<bytes>\t<path>\n", sorted as given.
oracle() { # MODE PATH [find expression...]: MODE largest N | paths
    local mode=$1 n=$2 path=$3
    shift 3
    find "$path" -xdev -mindepth 1 "$@" -printf '%b\t%p\0' | python3 -c '
import sys
mode, n = sys.argv[1], int(sys.argv[2])
records = []
for r in sys.stdin.buffer.read().split(b"\0"):
    if r:
        blocks, path = r.split(b"\t", 1)
        records.append((int(blocks) * 512, path))
if mode == "largest":
    records.sort(key=lambda r: (-r[0], r[1]))
    records = records[:n]
    sys.stdout.buffer.write(b"".join(b"%d\t%s\n" % r for r in records))
else:
    sys.stdout.buffer.write(b"".join(sorted(p + b"\n" for _, p in records)))' "$mode" "$n"
}
# Our paths alone, sorted (each line starts with its bytes and a tab).
paths() { python3 -c '
import re, sys
data = sys.stdin.buffer.read()
found = re.findall(rb"\d+\t(.*?)\n(?=\d+\t|\Z)", data, re.S)
sys.stdout.buffer.write(b"".join(sorted(p + b"\n" for p in found)))'; }

for root in "$work/g" /usr; do
    "$hollin" --largest 50 "$root" >"$work/ours" 2>"$work/err" || fail "--largest $root: $(cat "$work/err")"
    oracle largest 50 "$root" -type f >"$work/find"
    cmp -s "$work/ours" "$work/find" || { diff "$work/ours" "$work/find" | head >&2; fail "--largest 50 $root differs from find"; }

    "$hollin" --kinds "$root" >"$work/ours" 2>"$work/err" || fail "--kinds $root: $(cat "$work/err")"
    total=$(du -sxB1 "$root" | cut -f1)
    python3 - "$work/ours" "$total" <<'PY' || fail "--kinds $root does not add up to du's $total"
import sys
lines = [l.split(b"\t", 2) for l in open(sys.argv[1], "rb").read().splitlines()]
kinds = [l for l in lines if not (l[2].startswith(b".") or l[2] == b"none")]
exts = [l for l in lines if l[2].startswith(b".") or l[2] == b"none"]
kinds = [l for l in kinds if l[2] != b"folders"] + [l for l in lines if l[2] == b"folders"][:1]
exts = exts + [l for l in lines if l[2] == b"folders"][1:]
for part in (kinds, exts):
    assert sum(int(l[0]) for l in part) == int(sys.argv[2]), part[:5]
PY
done

g=$work/g
for glob in '*.txt' '[a-c]*' 'd?r*'; do
    "$hollin" --find "$g" --name "$glob" | paths >"$work/ours"
    oracle paths 0 "$g" -name "$glob" >"$work/find"
    cmp -s "$work/ours" "$work/find" || fail "--find --name '$glob' differs from find -name"
done

# Sizes, dates and kinds on a small tree of known files.
t=$work/t
mkdir -p "$t/old" "$t/new" "$t/cache/inner" "$t/fake" "$t/tagdir/CACHEDIR.TAG" "$t/cache/inner/more"
head -c 300000 /dev/zero >"$t/old/disk.iso"
head -c 70000 /dev/zero >"$t/new/film.MKV"
head -c 5000 /dev/zero >"$t/new/notes.txt"
printf 'Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n' >"$t/cache/CACHEDIR.TAG"
printf 'Signature: 8a477f597d28d172789f06886806bc55' >"$t/cache/inner/more/CACHEDIR.TAG"
printf 'Signature: not the one\n' >"$t/fake/CACHEDIR.TAG"
touch -d '400 days ago' "$t/old/disk.iso" "$t/old"
sync
"$hollin" --find "$t" --older 365 | paths >"$work/ours"
oracle paths 0 "$t" -mtime +365 >"$work/find"
cmp -s "$work/ours" "$work/find" || fail "--older 365: $(cat "$work/ours")"
"$hollin" --find "$t" --newer 1 --name '*.*' | paths >"$work/ours"
oracle paths 0 "$t" -mtime -1 -name '*.*' >"$work/find"
cmp -s "$work/ours" "$work/find" || fail "--newer 1: $(cat "$work/ours")"
"$hollin" --find "$t" --larger 60K --smaller 1M --kind video >"$work/ours"
[ "$(cat "$work/ours")" = "$(du -B1 "$t/new/film.MKV" | cut -f1)	$t/new/film.MKV" ] ||
    fail "--larger --smaller --kind: $(cat "$work/ours")"
# A program is one whether its name says so or only its execute bit does,
# for --kind as for --kinds.
head -c 9000 /dev/zero >"$t/new/runme"
head -c 9000 /dev/zero >"$t/new/libx.so.1"
head -c 9000 /dev/zero >"$t/new/plain"
chmod +x "$t/new/runme"
"$hollin" --find "$t" --kind program | paths >"$work/ours"
printf '%s\n' "$t/new/libx.so.1" "$t/new/runme" >"$work/want"
cmp -s "$work/ours" "$work/want" || fail "--kind program: $(cat "$work/ours")"
programs=$("$hollin" --kinds "$t" | awk -F'\t' '$3 == "program" { print $1 }')
[ "$programs" = "$("$hollin" --find "$t" --kind program | awk -F'\t' '{ s += $1 } END { print s }')" ] ||
    fail "--kinds counts $programs bytes of programs, --find --kind program another figure"
"$hollin" --find "$t" --caches | paths >"$work/ours"
printf '%s\n' "$t/cache" "$t/cache/inner/more" | LC_ALL=C sort >"$work/want"
cmp -s "$work/ours" "$work/want" || fail "--caches: $(cat "$work/ours")"

# A scan answers as the folder did; it keeps no dates to compare.
"$hollin" --export "$work/t.json" "$t"
[ "$("$hollin" --largest 3 "$work/t.json")" = "$("$hollin" --largest 3 "$t")" ] ||
    fail "--largest of a scan differs from the folder's"
status=0
"$hollin" --find "$work/t.json" --older 1 >/dev/null 2>"$work/err" || status=$?
[ $status = 1 ] && grep -q "keeps no modification times" "$work/err" || fail "dates of a scan: $status"

# Bad input.
for args in "--largest x $t" "--largest 3" "--find $t --larger 3Q" "--find $t --kind films" \
    "--find $t --older"; do
    status=0
    # shellcheck disable=SC2086
    "$hollin" $args >/dev/null 2>&1 || status=$?
    [ $status = 2 ] || fail "hollin $args exited $status"
done
status=0
"$hollin" --kinds "$work/absent" >"$work/out" 2>"$work/err" || status=$?
[ $status = 1 ] && [ ! -s "$work/out" ] &&
    [ "$(cat "$work/err")" = "hollin: $work/absent: No such file or directory" ] ||
    fail "absent path: $status, $(cat "$work/err")"
echo "e2e_find: ok"
