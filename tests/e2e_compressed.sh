#!/usr/bin/env bash
# hollin --report --compressed: on a file system that does not compress,
# what each entry takes on disk is its disk usage; on a loop-mounted btrfs
# image mounted compress=zstd holding ~100 MB of logs, the figure matches
# compsize (the file system's own accounting) within 1%, and without the
# administrator's privilege the command says how to get it and fails.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
work=$(mktemp -d /tmp/hollin-e2e-compressed-XXXXXX)
mounts=()
cleanup() {
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Anywhere else: the second column is the first, which is --report's.
mkdir -p "$work/plain/a"
head -c 300000 /dev/urandom >"$work/plain/a/f"
printf 'small' >"$work/plain/s"
"$hollin" --report --compressed "$work/plain" >"$work/out"
cut -f1,3 "$work/out" >"$work/usage"
"$hollin" --report "$work/plain" >"$work/report"
cmp -s "$work/usage" "$work/report" || fail "disk usage differs from --report: $(cat "$work/out")"
awk -F'\t' '$2 != $1 { exit 1 }' "$work/out" || fail "a plain tree compressed: $(cat "$work/out")"
if "$hollin" --report --compressed "$work/missing" 2>"$work/err"; then fail "a missing path succeeded"; fi
grep -q "missing" "$work/err" || fail "no word of the missing path: $(cat "$work/err")"

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: loop-mounting a compressed btrfs image needs root"
    echo "e2e_compressed: ok"
    exit 0
fi
truncate -s 600M "$work/btrfs.img"
mkdir "$work/btrfs"
if ! { mkfs.btrfs -q "$work/btrfs.img" >/dev/null 2>&1 &&
    mount -o loop,compress=zstd "$work/btrfs.img" "$work/btrfs" 2>/dev/null; }; then
    echo "SKIP: no btrfs here"
    echo "e2e_compressed: ok"
    exit 0
fi
mounts+=("$work/btrfs")
t=$work/btrfs/logs
mkdir -p "$t/app" "$t/web"
for part in app/1 app/2 web/1; do # 3 x ~34 MB of logs
    awk -v seed="${part/\//}" 'BEGIN { srand(seed)
        for (i = 0; i < 560000; i++)
            printf "%08d level=%d user=%05d request /api/item/%d served in %d ms\n",
                i, int(rand() * 5), int(rand() * 20000), int(rand() * 100000), int(rand() * 900) }' \
        >"$t/$part.log"
done
head -c 5M /dev/urandom >"$t/random.bin" # does not compress: on disk as it is
printf 'tiny' >"$t/tiny"                 # inline in the file system's tree
sync
"$hollin" --report --compressed "$t" >"$work/out" || fail "exited $?"
line() { awk -F'\t' -v p="$1" '$3 == p { print $1, $2 }' "$work/out"; }
compsize_disk() { compsize -b "$1" | awk '$1 == "TOTAL" { print $3 }'; }
near() { # OURS THEIRS WHAT: within 1%
    awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; if (d < 0) d = -d; exit !(b > 0 && d <= b / 100) }' ||
        fail "$3: $1 on disk, compsize says $2"
}
read -r usage ondisk <<<"$(line "$t")"
[ "$usage" = "$(du -sxB1 "$t" | cut -f1)" ] || fail "usage is not du's: $(cat "$work/out")"
[ "$ondisk" -lt $((usage / 2)) ] || fail "logs not seen compressed: $(cat "$work/out")"
near "$ondisk" "$(compsize_disk "$t")" "the folder"
near "$(line "$t/app" | cut -d' ' -f2)" "$(compsize_disk "$t/app")" "a subfolder"
read -r usage ondisk <<<"$(line "$t/random.bin")"
[ "$ondisk" = "$usage" ] || fail "random data compressed? $usage $ondisk"

# Without the privilege: a clear refusal that says how, and status 1.
chmod 755 "$work"
if setpriv --reuid=65534 --regid=65534 --clear-groups "$hollin" --report --compressed "$t" \
    >"$work/out" 2>"$work/err"; then
    fail "read without privilege: $(cat "$work/out")"
fi
grep -q "root" "$work/err" || fail "the refusal does not say how: $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "lines printed without the figures: $(cat "$work/out")"
echo "e2e_compressed: ok"
