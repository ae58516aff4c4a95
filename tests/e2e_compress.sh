#!/usr/bin/env bash
# hollin --compress. Where the file system does not compress (here, and as
# root on an ext4 image): NAME.tar.zst beside the folder extracts with tar to
# the very files, and the folder is in the Trash with its .trashinfo. What
# cannot be archived whole (a FIFO inside, a full disk: a small tmpfs as
# root, every archive name taken) leaves the folder as it was and no archive,
# partial or not; a taken name is never replaced. As root
# on a btrfs image: the logs are recompressed in place, take less space on
# disk, read the same, and they and their folder are marked compressed.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
work=$(mktemp -d /tmp/hollin-e2e-compress-XXXXXX)
mounts=()
cleanup() {
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# A trash of the test's own, beside the trees (the home trash serves them).
export HOME=$work/home XDG_DATA_HOME=$work/home/share
mkdir -p "$HOME"

logs() { # FOLDER: a small tree of logs, a link and a name that is not UTF-8
    mkdir -p "$1/sub"
    seq 1 150000 >"$1/a.log"
    seq 7 3 300000 >"$1/sub/b.log"
    printf 'caf\xe9\n' >"$1/$(printf 'caf\xe9.txt')"
    ln -s a.log "$1/latest"
}

archived() { # DIR TRASH PATH: DIR/logs compressed into DIR/logs.tar.zst, in TRASH as PATH
    local dir=$1 trash=$2 path=$3
    cp -a "$dir/logs" "$work/ref"
    "$hollin" --compress "$dir/logs" >"$work/out" 2>"$work/err" || fail "exited $?: $(cat "$work/err")"
    grep -q "^saved [1-9][0-9]* bytes" "$work/out" || fail "nothing saved: $(cat "$work/out")"
    [ -f "$dir/logs.tar.zst" ] && [ ! -e "$dir/logs" ] || fail "no archive, or the folder is still there"
    mkdir "$work/x"
    tar --zstd -xf "$dir/logs.tar.zst" -C "$work/x" 2>/dev/null # (a warning of the name that is not UTF-8)
    diff -r --no-dereference "$work/ref" "$work/x/logs" || fail "the archive extracts to other files"
    diff -r --no-dereference "$work/ref" "$trash/files/logs" || fail "the Trash holds other files"
    grep -qx "Path=$path" "$trash/info/logs.trashinfo" || fail "no .trashinfo for it"
    ls -A "$dir" | grep -q partial && fail "a partial archive is left"
    rm -rf "$work/ref" "$work/x"
}

untouched() { # DIR: DIR/logs is as $work/ref holds it, and nothing is beside it
    diff -r --no-dereference -x pipe "$work/ref" "$1/logs" || fail "the originals changed"
    [ "$(ls -A "$1")" = logs ] || fail "left beside it: $(ls -A "$1")"
    rm -rf "$work/ref"
}

mkdir "$work/plain"
logs "$work/plain/logs"
archived "$work/plain" "$XDG_DATA_HOME/Trash" "$work/plain/logs"

# What cannot be archived whole: nothing happens, and it says why.
mkdir -p "$work/odd"
logs "$work/odd/logs"
mkfifo "$work/odd/logs/pipe"
cp -a "$work/odd/logs" "$work/ref"
if "$hollin" --compress "$work/odd/logs" >/dev/null 2>"$work/err"; then fail "a FIFO was archived"; fi
grep -q "pipe" "$work/err" || fail "the FIFO is not named: $(cat "$work/err")"
untouched "$work/odd"
[ -p "$work/odd/logs/pipe" ] || fail "the FIFO is gone"
if "$hollin" --compress "$work/missing" >/dev/null 2>"$work/err"; then fail "a missing path succeeded"; fi

# The archive's name replaces nothing: a taken one is passed over, and with
# every one taken the folder stays where it is, with no archive left.
mkdir "$work/taken"
logs "$work/taken/logs"
echo old >"$work/taken/logs.tar.zst"
"$hollin" --compress "$work/taken/logs" >/dev/null 2>"$work/err" || fail "a taken name: exited $?: $(cat "$work/err")"
[ "$(cat "$work/taken/logs.tar.zst")" = old ] && [ -f "$work/taken/logs 2.tar.zst" ] && [ ! -e "$work/taken/logs" ] ||
    fail "a taken name left $(ls -A "$work/taken")"
rm -rf "$work/taken"/*
logs "$work/taken/logs"
cp -a "$work/taken/logs" "$work/ref"
: >"$work/taken/logs.tar.zst"
for n in $(seq 2 999); do : >"$work/taken/logs $n.tar.zst"; done
if "$hollin" --compress "$work/taken/logs" >/dev/null 2>"$work/err"; then fail "no free name, yet it succeeded"; fi
grep -q "the archive cannot be named" "$work/err" || fail "no free name: $(cat "$work/err")"
diff -r --no-dereference "$work/ref" "$work/taken/logs" || fail "no free name, and the originals changed"
[ "$(ls -A "$work/taken" | grep -vc '\.tar\.zst$')" = 1 ] || fail "no free name, and it left $(ls -A "$work/taken" | grep -v '\.tar\.zst$')"
rm -rf "$work/ref"

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: ext4, a full tmpfs and btrfs need root to be mounted"
    echo "e2e_compress: ok"
    exit 0
fi
volume() { # NAME MKFS...: a fresh image mounted at $work/NAME, or SKIP
    local name=$1
    shift
    truncate -s 300M "$work/$name.img"
    mkdir "$work/$name"
    "$@" "$work/$name.img" >/dev/null 2>&1 && mount -o loop "$work/$name.img" "$work/$name" 2>/dev/null ||
        { echo "SKIP: no $name here"; return 1; }
    mounts+=("$work/$name")
}

if volume ext4 mkfs.ext4 -q; then
    logs "$work/ext4/logs"
    archived "$work/ext4" "$work/ext4/.Trash-0" logs # relative to its volume
fi

# A disk that fills while the archive is written.
mkdir "$work/full"
mount -t tmpfs -o size=1m tmpfs "$work/full"
mounts+=("$work/full")
mkdir "$work/full/logs"
head -c 700K /dev/urandom >"$work/full/logs/noise"
cp -a "$work/full/logs" "$work/ref"
if "$hollin" --compress "$work/full/logs" >/dev/null 2>"$work/err"; then fail "archived on a full disk"; fi
grep -q "No space left" "$work/err" || fail "the full disk is not said: $(cat "$work/err")"
untouched "$work/full"

if volume btrfs mkfs.btrfs -q; then
    t=$work/btrfs/logs
    mkdir "$t"
    for n in 1 2 3; do
        awk -v n=$n 'BEGIN { srand(n); for (i = 0; i < 300000; i++)
            printf "%08d level=%d request /item/%d in %d ms\n", i, int(rand() * 5),
                int(rand() * 100000), int(rand() * 900) }' >"$t/$n.log"
    done
    sync
    cp -a "$t" "$work/ref"
    before=$("$hollin" --report --compressed "$t" | tail -n 1 | cut -f2)
    "$hollin" --compress "$t" >"$work/out" || fail "btrfs: exited $?"
    after=$("$hollin" --report --compressed "$t" | tail -n 1 | cut -f2)
    [ "$after" -lt $((before / 2)) ] || fail "btrfs: $before bytes on disk before, $after after"
    grep -q "^saved $((before - after)) bytes" "$work/out" || fail "btrfs: said $(cat "$work/out")"
    diff -r "$work/ref" "$t" || fail "btrfs: the logs read otherwise"
    for f in "$t" "$t"/*.log; do
        lsattr -d "$f" | cut -d' ' -f1 | grep -q c || fail "btrfs: $f is not marked compressed"
    done
fi
echo "e2e_compress: ok"
