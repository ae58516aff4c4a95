#!/usr/bin/env bash
# hollin --report --shared on loop-mounted btrfs and XFS (reflink=1) images:
# a 64 MB file and its reflinked copy each hold 64 MB, none of it alone,
# and their parent counts it once; a read-only btrfs snapshot makes every
# block of what it copies shared. Elsewhere (no shared blocks) every byte is
# exclusive and the disk usage column is --report's.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
work=$(mktemp -d /tmp/hollin-e2e-shared-XXXXXX)
mounts=()
cleanup() {
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
M=$((64 << 20))

# Anywhere: the disk usage column is --report's, and nothing is shared.
mkdir -p "$work/plain/a"
head -c 300000 /dev/urandom >"$work/plain/a/f"
"$hollin" --report --shared "$work/plain" >"$work/out"
cut -f1,5 "$work/out" >"$work/usage"
"$hollin" --report "$work/plain" >"$work/report"
cmp -s "$work/usage" "$work/report" || fail "disk usage differs from --report: $(cat "$work/out")"
awk -F'\t' '$2 != $1 || $3 != 0 || $4 != $1 { exit 1 }' "$work/out" ||
    fail "shared bytes on a plain tree: $(cat "$work/out")"

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: loop-mounting btrfs and XFS images needs root"
    echo "e2e_shared: ok"
    exit 0
fi
line() { # PATH: the figures of PATH's line
    awk -F'\t' -v p="$1" '$5 == p { print $1, $2, $3, $4 }' "$work/out"
}
image() { # TYPE MKFS...: mounts a fresh image at $work/TYPE, or says why not
    local type=$1
    shift
    truncate -s 400M "$work/$type.img"
    mkdir "$work/$type"
    "$@" "$work/$type.img" >/dev/null 2>&1 && mount -o loop "$work/$type.img" "$work/$type" 2>/dev/null ||
        { echo "SKIP: no $type here"; return 1; }
    mounts+=("$work/$type")
}
for type in btrfs xfs; do
    if [ $type = btrfs ]; then
        image btrfs mkfs.btrfs -q || continue
    else
        image xfs mkfs.xfs -q -m reflink=1 || continue
    fi
    t=$work/$type/t
    mkdir -p "$t/a" "$t/b"
    head -c $M /dev/urandom >"$t/a/file"
    cp --reflink=always "$t/a/file" "$t/b/copy"
    head -c 1M /dev/urandom >"$t/own"
    sync
    "$hollin" --report --shared "$t" >"$work/out" || fail "$type: exited $?"
    own_dirs=$(($(stat -c '%b * %B' "$t" "$t/a" "$t/b" | paste -sd+)))
    [ "$(line "$t/a" | cut -d' ' -f2-)" = "0 $M $M" ] || fail "$type: the file: $(line "$t/a")"
    [ "$(line "$t/b" | cut -d' ' -f2-)" = "0 $M $M" ] || fail "$type: its copy: $(line "$t/b")"
    [ "$(line "$t" | cut -d' ' -f4)" = $((M + (1 << 20) + own_dirs)) ] ||
        fail "$type: the parent does not count the copy once: $(line "$t")"
    [ "$(line "$t" | cut -d' ' -f1)" = "$(du -sxB1 "$t" | cut -f1)" ] || fail "$type: usage is not du's"
done

# A read-only snapshot shares every block of what it holds.
if mountpoint -q "$work/btrfs"; then
    btrfs -q subvolume create "$work/btrfs/vol" >/dev/null
    head -c 8M /dev/urandom >"$work/btrfs/vol/data"
    sync
    btrfs -q subvolume snapshot -r "$work/btrfs/vol" "$work/btrfs/snap" >/dev/null
    sync
    "$hollin" --report --shared "$work/btrfs/vol" >"$work/out"
    [ "$(line "$work/btrfs/vol/data")" = "$((8 << 20)) 0 $((8 << 20)) $((8 << 20))" ] ||
        fail "a snapshotted file is not shared: $(cat "$work/out")"
fi
echo "e2e_shared: ok"
