#!/usr/bin/env bash
# hollin --report on hostile trees and bad command lines: the same lines as
# du -ax -B1 -d1 for every tree (with --links-each, as du -axl), a clear
# error and exit status 1 for a path that cannot be examined, and no hang
# (each run is bounded). Then --largest, --kinds, --find and --caches on
# each tree against find and du (tests/find_oracles.sh), unreadable
# folders included.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
work=$(mktemp -d /tmp/hollin-e2e-hostile-XXXXXX)
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Sanitized builds are several times slower.
limit=${HOLLIN_E2E_LIMIT:-600}

# The trees, built with system calls relative to open folders (names may be
# any bytes; the chain goes deeper than one call may name).
t=$work/t # the trees; reports and du's lines stay outside them
mkdir "$t"
python3 - "$t" <<'EOF'
import os, sys
work = sys.argv[1].encode()
def write(path, n, dir_fd=None):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=dir_fd)
    os.write(fd, b"x" * n) if n else None
    os.close(fd)

# Cache tags: a valid one (the signature alone is enough), a bad signature,
# a link to a valid tag (not a tag), a folder of the name.
signature = b"Signature: 8a477f597d28d172789f06886806bc55"
def tag(folder, text=signature + b"\n# made by a cache\n", dir_fd=None):
    fd = os.open(os.path.join(folder, b"CACHEDIR.TAG"), os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=dir_fd)
    os.write(fd, text)
    os.close(fd)

names = os.path.join(work, b"names")
os.mkdir(names)
for b in range(1, 256):
    if b == ord("/"): continue
    write(os.path.join(names, b"in" + bytes([b]) + b"side"), b * 37)
for n in [b"-rf", b"--help", b"a\nb", b"\n", b"\t", b"caf\xe9", b"\xff\xfe", b"\xc0\xaf", b"Case", b"CASE",
          b"case", b"L" * 255, b"\xc3\xa9" * 127 + b"x", b"$(touch pwned)", b"'", b'"', b"\\"]:
    write(os.path.join(names, n), len(n) * 100)
os.mkdir(os.path.join(names, b"-d"))
write(os.path.join(names, b"-d", b"\n\n"), 5000)
for folder, text in [(b"cache\nd", signature), (b"caf\xe9 cache", signature),
                     (b"bad tag", signature[:-1] + b"6"),
                     (b"short tag", signature[:20])]:
    os.mkdir(os.path.join(names, folder))
    tag(os.path.join(names, folder), text)
os.mkdir(os.path.join(names, b"linked tag"))
os.symlink(b"../cache\nd/CACHEDIR.TAG", os.path.join(names, b"linked tag", b"CACHEDIR.TAG"))
os.makedirs(os.path.join(names, b"tag folder", b"CACHEDIR.TAG"))

huge = os.path.join(work, b"huge")
os.mkdir(huge)
fd = os.open(huge, os.O_RDONLY | os.O_DIRECTORY)
for i in range(200000):
    name = b"entry-%06d" % i
    if i % 1000 == 0: os.mkdir(name, dir_fd=fd)
    else: write(name, 4096 if i % 50 == 0 else 0, dir_fd=fd)
os.close(fd)

deep = os.path.join(work, b"deep")
os.mkdir(deep)
fd = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
length = len(deep)
while length < 6000:
    os.mkdir(b"d", dir_fd=fd)
    nxt = os.open(b"d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = nxt
    length += 2
write(b"leaf", 8192, dir_fd=fd)
tag(b"", dir_fd=fd) # a tag further down than one call may name
os.close(fd)

links = os.path.join(work, b"links")
os.mkdir(links)
os.symlink(b"b", os.path.join(links, b"a"))
os.symlink(b"a", os.path.join(links, b"b"))
os.symlink(b".", os.path.join(links, b"dot"))
os.symlink(b"/", os.path.join(links, b"root"))
write(os.path.join(links, b"hard"), 30000)
os.link(os.path.join(links, b"hard"), os.path.join(links, b"hard2"))
os.mkfifo(os.path.join(links, b"fifo"))
fd = os.open(os.path.join(links, b"sparse"), os.O_WRONLY | os.O_CREAT, 0o644)
os.ftruncate(fd, 1 << 34)
os.pwrite(fd, b"data", 1 << 33)
os.close(fd)
EOF

report() { # [--links-each] PATH -> $work/ours, $work/err; answers the exit status
    local status=0
    timeout "$limit" "$hollin" --report "$@" >"$work/ours" 2>"$work/err" || status=$?
    [ $status -eq 124 ] && fail "report of $(printf %q "${@: -1}") did not finish within ${limit}s"
    return $status
}

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

check() { # PATH [byfile]: the report equals du -ax's lines (by file: see
    # byfile), --links-each du -axl's
    local path=$1 how=${2:-} started=$SECONDS each
    for opts in "${option_sets[@]}"; do
        each= && [[ $opts == *--links-each* ]] && each=l
        report $opts "$path" || fail "report $opts of $(printf %q "$path") exited $?: $(head -c 500 "$work/err")"
        du $(du_options "$opts") -d1 -- "$path" >"$work/du"
        if [ -z "$each" ] && [ "$how" = byfile ]; then
            cols=1 && [[ $opts == *--time* ]] && cols=2
            byfile "$work/ours" $cols >"$work/ours.sorted"
            byfile "$work/du" $cols >"$work/du.sorted"
        else
            LC_ALL=C sort "$work/ours" >"$work/ours.sorted"
            LC_ALL=C sort "$work/du" >"$work/du.sorted"
        fi
        cmp -s "$work/ours.sorted" "$work/du.sorted" ||
            { diff "$work/ours.sorted" "$work/du.sorted" | head -20 >&2; fail "lines differ from du $(du_options "$opts") for $(printf %q "$path")"; }
    done
    echo "report of $(printf %q "$path") matches du and du -l ($((SECONDS - started)) s)"
}

check "$t/names"
check "$t/huge"
check "$t/deep"
check "$t/links" byfile
check "$t/"
[ -e "$t/names/pwned" ] || [ -e pwned ] && fail "a name was run as a command"

# A relative path, and one with a trailing slash, are reported as given.
(cd "$t" && check names/ && check ./links byfile && check links byfile)

# Paths that cannot be examined: one line on stderr naming the path, status 1,
# nothing on stdout.
for bad in "$t/absent" "$t/names/CASE/below" ""; do
    status=0
    report "$bad" || status=$?
    [ $status -eq 1 ] || fail "report of '$bad' exited $status"
    [ -s "$work/ours" ] && fail "report of '$bad' printed on stdout"
    grep -qF -- "hollin: $bad: " "$work/err" || fail "report of '$bad' said: $(cat "$work/err")"
done

# A plain file: its own line only.
report "$t/names/CASE" || fail "report of a file exited $?"
[ "$(cat "$work/ours")" = "$(du -axl -B1 -d1 -- "$t/names/CASE")" ] || fail "report of a file differs from du"

# The find answers on each tree: --largest, --kinds, --find --name and
# --caches against find and du.
# shellcheck source=tests/find_oracles.sh
. "$(dirname "$0")/find_oracles.sh"
check_find_oracles "$t/names" '*' $'*\n*' 'in?side' '*[!a-zA-Z]' 'caf*' '-*' '*\\*' 'case'
for tree in huge deep links; do
    check_find_oracles "$t/$tree" '*' '*-0000??' 'd' 'hard*'
done
echo "find answers on the trees match find and du"

# Folders that cannot be read or searched, a tag that cannot be read: each
# command says so and fails, as find does, and answers what find answers of
# the rest. As root, run as nobody (root reads everything).
l=$work/locked
mkdir -p "$l/open/sub" "$l/closed/sub" "$l/listonly/sub" "$l/tagged" "$l/secret tag"
for f in open/a open/sub/b closed/c closed/sub/d listonly/e listonly/sub/f secret.bin; do
    head -c 20000 /dev/zero >"$l/$f"
done
for d in tagged "secret tag" closed listonly; do
    printf 'Signature: 8a477f597d28d172789f06886806bc55\n' >"$l/$d/CACHEDIR.TAG"
done
chmod 000 "$l/closed" "$l/secret tag/CACHEDIR.TAG" "$l/secret.bin"
chmod 644 "$l/listonly"
reader=()
if [ "$(id -u)" = 0 ]; then
    chmod 755 "$work"
    reader=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    reader_python=/usr/bin/python3
    "${reader[@]}" "$hollin" --version >/dev/null 2>&1 && "${reader[@]}" "$reader_python" -c '' 2>/dev/null ||
        reader=()
fi
if [ "$(id -u)" = 0 ] && [ ${#reader[@]} = 0 ]; then
    echo "SKIP: unreadable folders: cannot run $hollin as nobody"
else
    "${reader[@]}" find "$l" >/dev/null 2>&1 && fail "find read all of $l: nothing is locked"
    want_status=1
    check_find_oracles "$l" '*' '[a-e]' 'CACHEDIR.TAG'
    want_status=0
    for f in closed listonly/e; do
        grep -qF "hollin: $l/$f: Permission denied" "$work/err" || fail "--caches did not name $f: $(cat "$work/err")"
    done
    echo "find answers on unreadable folders match find, and fail as find does"
fi

echo "e2e_hostile: ok"
