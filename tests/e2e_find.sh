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

# Our paths alone, sorted (each line starts with its bytes and a tab).
paths() { python3 -c '
import re, sys
data = sys.stdin.buffer.read()
found = re.findall(rb"\d+\t(.*?)\n(?=\d+\t|\Z)", data, re.S)
sys.stdout.buffer.write(b"".join(sorted(p + b"\n" for p in found)))'; }

# shellcheck source=tests/find_oracles.sh
. "$(dirname "$0")/find_oracles.sh"
check_find_oracles "$work/g" '*.txt' '[a-c]*' 'd?r*'
check_find_oracles /usr '*.so.*' '[a-c]*'

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
hollin_out --find "$t" --older 365
find_oracle paths "$work/ours" 0 "$t" -mtime +365 || fail "--older 365: $(cat "$work/ours")"
hollin_out --find "$t" --newer 1 --name '*.*'
find_oracle paths "$work/ours" 0 "$t" -mtime -1 -name '*.*' || fail "--newer 1: $(cat "$work/ours")"
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
# A path that is not there, a file that is no scan (nothing below it to
# answer about), a damaged scan: one line naming the path, nothing on
# standard output, status 1.
head -c 300 "$work/t.json" >"$work/cut.json"
printf '[1,2,{"progname":"hollin"},\n[{"name":"/x","asize":"many"}]]' >"$work/bad.json"
for path in "$work/absent" "$t/new/notes.txt" "$work/cut.json" "$work/bad.json"; do
    for args in "--largest 3 $path" "--kinds $path" "--find $path" "--find $path --name *"; do
        read -ra argv <<<"$args"
        status=0
        "$hollin" "${argv[@]}" >"$work/out" 2>"$work/err" || status=$?
        [ $status = 1 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" = 1 ] &&
            grep -qF "hollin: $path: " "$work/err" || fail "hollin $args: $status, $(cat "$work/err")"
    done
done
grep -qF "hollin: $work/absent: No such file or directory" <("$hollin" --kinds "$work/absent" 2>&1) ||
    fail "absent path not said so"
echo "e2e_find: ok"
