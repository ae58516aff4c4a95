#!/usr/bin/env bash
# The scan history and comparisons: a tree recorded, changed (50 MB in a
# deep folder, a 20 MB folder gone, a log 7 MB longer, 1,000 small files),
# recorded again; hollin --diff between the records, and between two
# exports, lists what du -xl -B1 says changed, folder by folder, down to the
# depth asked. A damaged history is moved aside, recorders running at once
# all get their records, and a record of another file system is refused.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
work=$(mktemp -d /tmp/hollin-e2e-growth-XXXXXX)
mounted=""
trap '[ -n "$mounted" ] && umount "$mounted"; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export HOME=$work/home XDG_DATA_HOME=$work/data
db=$XDG_DATA_HOME/hollin/history.sqlite
t=$work/tree

mkdir -p "$t/proj/src/deep/er/still" "$t/media/old" "$t/var/log" "$t/docs"
head -c 3000000 /dev/urandom >"$t/proj/src/main.c"
head -c 20971520 /dev/urandom >"$t/media/old/film.mkv"
head -c 1000000 /dev/urandom >"$t/var/log/app.log"
head -c 400000 /dev/urandom >"$t/docs/notes.txt"
sync
du -xl -B1 "$t" >"$work/du.0"
"$hollin" --report --record "$t" >/dev/null || fail "the first --report --record"
"$hollin" --export "$work/A.json" "$t"
[ -s "$db" ] || fail "no history at $db"

head -c 52428800 /dev/urandom >"$t/proj/src/deep/er/still/big.bin"
rm -r "$t/media/old"
head -c 7340032 /dev/urandom >>"$t/var/log/app.log"
mkdir "$t/docs/many"
python3 -c 'import sys
for i in range(1000): open("%s/f%04d" % (sys.argv[1], i), "w").write("x" * 100)' "$t/docs/many"
sync
du -xl -B1 "$t" >"$work/du.1"
"$hollin" --report --record "$t" >/dev/null || fail "the second --report --record"
"$hollin" --export "$work/B.json" "$t"

"$hollin" --history "$t" >"$work/history"
[ "$(wc -l <"$work/history")" = 2 ] || fail "--history: $(cat "$work/history")"
first=$(head -1 "$work/history" | cut -f1)
[ "$(sed -n 2p "$work/history" | cut -f2)" = "$(tail -1 "$work/du.1" | cut -f1)" ] ||
    fail "the second record's total is not du's: $(cat "$work/history")"

# du's folders before and after, as --diff prints them down to DEPTH.
expected() { # DEPTH
    python3 - "$work/du.0" "$work/du.1" "$t" "$1" <<'PY'
import sys
def read(name):
    return {p: int(n) for n, p in (l.rstrip(b"\n").split(b"\t", 1) for l in open(name, "rb"))}
old, new, root, depth = read(sys.argv[1]), read(sys.argv[2]), sys.argv[3].encode(), int(sys.argv[4])
lines = []
for path in set(old) | set(new):
    below = path[len(root):].count(b"/")
    a, b = old.get(path, 0), new.get(path, 0)
    if below <= depth and a != b:
        lines.append((-abs(b - a), path, b"%+d\t%d\t%d\t%s\n" % (b - a, a, b, path)))
sys.stdout.buffer.write(b"".join(l[2] for l in sorted(lines)))
PY
}
expected 3 >"$work/expected.3"
expected 9 >"$work/expected.9"
grep -Eq "^\+52[0-9]{6}	.*/proj/src/deep$" "$work/expected.3" || fail "du misses the deep folder's 50 MB"
root_change=$(($(tail -1 "$work/du.1" | cut -f1) - $(tail -1 "$work/du.0" | cut -f1)))
grep -q "^+$root_change	.*	$t\$" "$work/expected.3" || fail "the oracle's total is not du -s's"

check() { # EXPECTED ARGS...: --diff ARGS prints EXPECTED exactly
    local want=$1
    shift
    "$hollin" --diff "$@" >"$work/ours" 2>"$work/err" || fail "--diff $*: $(cat "$work/err")"
    cmp -s "$work/ours" "$want" || { diff "$work/ours" "$want" >&2 || true; fail "--diff $* differs from du"; }
}
: >"$work/empty"
check "$work/empty" @last "$t"
check "$work/expected.3" "@$first" "$t"
check "$work/expected.9" "@$first" "$t" --depth 9
check "$work/expected.3" "$work/A.json" "$work/B.json"
check "$work/expected.3" "$work/A.json" @last
"$hollin" --diff "@$(date +%F)" "$t" | cmp -s - "$work/empty" || fail "@DAY is not the day's newest record"

# Refusals: exit 1 with a message for what cannot be read, 2 for usage.
status() { local s=0; "$hollin" "$@" >/dev/null 2>"$work/err" || s=$?; echo $s; }
echo '[1,0,{"progname":"x"},[{"name":"/x"' >"$work/broken.json"
[ "$(status --diff "$work/broken.json" "$t")" = 1 ] || fail "a damaged scan was not refused"
[ "$(status --diff @1999-01-01 "$t")" = 1 ] && grep -q "no record" "$work/err" || fail "an unknown record"
[ "$(status --diff @last "$work/nowhere")" = 1 ] || fail "a missing folder"
[ "$(status --diff "$t/docs/notes.txt" "$t")" = 1 ] || fail "a file that is no scan"
[ "$(status --diff @soon "$t")" = 2 ] || fail "@soon"
[ "$(status --diff @last @last)" = 2 ] || fail "two records, no path"
[ "$(status --diff "$t")" = 2 ] || fail "one side"
[ "$(status --diff "$t" "$t" --depth x)" = 2 ] || fail "--depth x"
[ "$(status --history "$work/home")" = 1 ] || fail "--history of a path never recorded"

# Garbage for a history: said, moved aside whole, a new one begun.
rm -f "$db-wal" "$db-shm"
head -c 100000 /dev/urandom >"$db"
cp "$db" "$work/garbage"
"$hollin" --report --record "$t" >/dev/null 2>"$work/err" || fail "recording over garbage: $(cat "$work/err")"
grep -q "moved aside" "$work/err" || fail "the damage was not said: $(cat "$work/err")"
cmp -s "$work/garbage" "$db".broken-* || fail "the damaged history was not kept as it was"
[ "$(status --history "$t")" = 0 ] && [ "$("$hollin" --history "$t" | wc -l)" = 1 ] || fail "no new history"

# A recorder meeting another's transaction waits for it, and both are kept.
until_in() { # FILE TEXT: waits for the process writing FILE to say TEXT
    local i
    for i in $(seq 3000); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.01; done
    fail "no \"$2\" in $1"
}
mkfifo "$work/holder.in"
python3 -c '
import sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("BEGIN IMMEDIATE")
db.execute("INSERT INTO folder(parent, name) VALUES(0, x\x27ff\x27)")
print("held", flush=True)
sys.stdin.readline()
db.execute("COMMIT")' "$db" <"$work/holder.in" >"$work/holder.out" &
holder=$!
exec 3>"$work/holder.in"
until_in "$work/holder.out" held
"$hollin" --report --record "$t" >"$work/out" 2>"$work/err" &
recorder=$!
until_in "$work/out" "	$t"
echo commit >&3
exec 3>&-
wait $holder
wait $recorder || fail "a recorder meeting a transaction: $(cat "$work/err")"
[ "$("$hollin" --history "$t" | wc -l)" = 2 ] || fail "records lost: $("$hollin" --history "$t")"

# A record of a folder now on another file system compares nothing alike.
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: another file system at a recorded path needs root to mount"
    exit 0
fi
mkdir "$work/vol"
mount -t tmpfs -o size=8m hollin-e2e "$work/vol" && mounted=$work/vol
head -c 100000 /dev/urandom >"$work/vol/f"
"$hollin" --report --record "$work/vol" >/dev/null
umount "$work/vol"
# Another type: a new tmpfs may get the old one's device number back.
mount -t ramfs hollin-e2e "$work/vol"
head -c 100000 /dev/urandom >"$work/vol/f"
[ "$(status --diff @last "$work/vol")" = 1 ] && grep -q "another file system" "$work/err" ||
    fail "a record of another file system was compared: $(cat "$work/err")"
umount "$work/vol" && mounted=""

# A full disk under the history: the report is printed, the record refused
# with the reason, the records before it kept.
mkdir "$work/full"
mount -t tmpfs -o size=1m hollin-e2e "$work/full" && mounted=$work/full
export XDG_DATA_HOME=$work/full
"$hollin" --report --record "$t" >/dev/null || fail "the record before the disk filled"
head -c 2M /dev/zero >"$work/full/filler" 2>/dev/null || true
s=0
"$hollin" --report --record "$t" >"$work/out" 2>"$work/err" || s=$?
[ $s = 1 ] && grep -q "full" "$work/err" || fail "a full disk: status $s, $(cat "$work/err")"
[ "$(tail -1 "$work/out" | cut -f2)" = "$t" ] || fail "a full disk took the report"
[ "$("$hollin" --history "$t" | wc -l)" = 1 ] || fail "a full disk lost the record before it"
echo "ok"
