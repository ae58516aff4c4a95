#!/usr/bin/env bash
# hollin --unseen on a real ext4 image: files deleted while a process holds
# them open or only mapped, what a tmpfs mounted over a folder hides, the administrator's
# reserve and the free space add up to the drive's size; as an ordinary
# user the covered folder is "not measured" and only the user's own
# processes are read. The tmpfs stays mounted and unchanged throughout.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: loop-mounting an image needs root"
    echo "e2e_unseen: ok"
    exit 0
fi
work=$(mktemp -d /tmp/hollin-e2e-unseen-XXXXXX)
chmod 755 "$work"
mnt=$work/mnt
holders=()
cleanup() {
    for pid in "${holders[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    mountpoint -q "$mnt/covered" 2>/dev/null && umount "$mnt/covered"
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)

truncate -s 160M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img"
mkdir "$mnt"
if ! mount -o loop "$work/disk.img" "$mnt" 2>"$work/err"; then
    echo "SKIP: cannot loop-mount an image here: $(cat "$work/err")"
    echo "e2e_unseen: ok"
    exit 0
fi
chmod 755 "$mnt"
mkdir "$mnt/covered" "$mnt/shared" "$mnt/private"
chmod 1777 "$mnt/shared"
chmod 700 "$mnt/private"
head -c 10M /dev/urandom >"$mnt/covered/ten"
head -c 1M /dev/urandom >"$mnt/private/one"
head -c 30M /dev/urandom >"$mnt/shared/rotated.log"
"${nobody[@]}" sh -c 'head -c 5M /dev/urandom >"$1"' sh "$mnt/shared/mine.log"
covered_blocks=$(($(stat -c '%b * %B' "$mnt/covered")))

# A process that holds the file open, started as asked; its PID is the
# one it had when it told us it had the file open.
hold() { # file [command prefix...]
    local file=$1 fifo
    shift
    fifo=$work/ready.${#holders[@]}
    mkfifo -m 666 "$fifo"
    "$@" sh -c 'exec 3<"$1"; echo open >"$2"; exec sleep 600' sh "$file" "$fifo" &
    holders+=($!)
    read -r _ <"$fifo"
}
hold "$mnt/shared/rotated.log"
root_holder=${holders[0]}
hold "$mnt/shared/mine.log" "${nobody[@]}"
user_holder=${holders[1]}
# One that keeps only a mapping once its descriptor is closed.
head -c 3M /dev/urandom >"$mnt/shared/mapped.db"
mkfifo "$work/mapped"
python3 -c 'import mmap, sys, time
with open(sys.argv[1], "rb") as f:
    m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)
open(sys.argv[2], "w").write("mapped\n")
time.sleep(600)' "$mnt/shared/mapped.db" "$work/mapped" &
holders+=($!)
map_holder=$!
read -r _ <"$work/mapped"
rm "$mnt/shared/rotated.log" "$mnt/shared/mine.log" "$mnt/shared/mapped.db"

mount -t tmpfs -o size=4m hollin-unseen "$mnt/covered"
echo still here >"$mnt/covered/mark"
sync -f "$mnt/shared"
# The mounts at and below the drive (other tests mount and unmount beside
# this one): what --unseen looks beneath must stay as it was.
mounts_here() { awk -v m="$mnt" '$5 == m || index($5, m "/") == 1' \
    /proc/self/mountinfo | sort; }
mounts_before=$(mounts_here)

line_bytes() { # category detail-pattern: the bytes of the one matching line
    awk -F'\t' -v c="$1" -v d="$2" '$2 == c && index($3, d) == 1 { print $1; n++ }
        END { if (n != 1) exit 1 }' "$work/out"
}
adds_up() {
    local size
    size=$(($(stat -f -c '%b * %S' "$mnt")))
    awk -F'\t' -v size="$size" -v mnt="$mnt" '
        $2 == "total" { total = $1; where = $3; next } { sum += $1 }
        END { if (total != size || sum != size || where != mnt) {
                  printf "lines %d, total %d, size %d\n", sum, total, size; exit 1 } }' \
        "$work/out" || fail "the lines do not add up to the drive: $(cat "$work/out")"
}

# As administrator.
"$hollin" --unseen "$mnt" >"$work/out" 2>"$work/err" || fail "--unseen: $(cat "$work/err")"
[ "$(line_bytes deleted-open "$root_holder sleep $mnt/shared/rotated.log")" = $((30 << 20)) ] ||
    fail "the root process's deleted file: $(cat "$work/out")"
[ "$(line_bytes deleted-open "$user_holder sleep $mnt/shared/mine.log")" = $((5 << 20)) ] ||
    fail "the user's deleted file: $(cat "$work/out")"
[ "$(line_bytes deleted-open "$map_holder python3 $mnt/shared/mapped.db")" = $((3 << 20)) ] ||
    fail "the deleted file only mapped: $(cat "$work/out")"
[ "$(line_bytes hidden "$mnt/covered")" = $(((10 << 20) + covered_blocks)) ] ||
    fail "hidden beneath $mnt/covered: $(cat "$work/out")"
[ "$(line_bytes counted "$mnt")" = "$(du -sxB1 "$mnt" | cut -f1)" ] ||
    fail "counted differs from du -sx: $(cat "$work/out")"
reserved=$(tune2fs -l "$work/disk.img" |
    awk -F: '/^Reserved block count/ { n = $2 } /^Block size/ { b = $2 } END { print n * b }')
[ "$(line_bytes reserved "")" = "$reserved" ] || fail "reserved is not tune2fs's $reserved"
! grep -q $'\tunreadable\t' "$work/out" || fail "root read every folder: $(cat "$work/out")"
[ ! -s "$work/err" ] || fail "said: $(cat "$work/err")"
adds_up
# Nothing was unmounted, mounted or changed for anyone.
mountpoint -q "$mnt/covered" && [ "$(cat "$mnt/covered/mark")" = "still here" ] &&
    [ ! -e "$mnt/covered/ten" ] || fail "the tmpfs over $mnt/covered changed"
[ "$(mounts_here)" = "$mounts_before" ] || fail "the mounts at $mnt changed: $(mounts_here)"

# As an ordinary user, when one may run the program where it was built.
if ! "${nobody[@]}" test -x "$hollin"; then
    echo "SKIP: an ordinary user cannot run $hollin here; the unprivileged account is not tested"
    echo "e2e_unseen: ok"
    exit 0
fi
"${nobody[@]}" "$hollin" --unseen "$mnt" >"$work/out" 2>"$work/err" ||
    fail "--unseen as nobody: $(cat "$work/err")"
grep -qF "only your own processes" "$work/err" || fail "no word of the processes left out"
line_bytes hidden "$mnt/covered (not measured: needs administrator rights: sudo hollin --unseen $mnt)" \
    >/dev/null || fail "the covered folder as nobody: $(cat "$work/out")"
[ "$(line_bytes deleted-open "$user_holder sleep $mnt/shared/mine.log")" = $((5 << 20)) ] ||
    fail "nobody's own deleted file: $(cat "$work/out")"
! grep -q "^[0-9]*	deleted-open	$root_holder " "$work/out" ||
    fail "another user's process was listed: $(cat "$work/out")"
line_bytes unreadable "$mnt/private" >/dev/null || fail "the private folder: $(cat "$work/out")"
adds_up

# A path that is no mount point is refused.
status=0
"$hollin" --unseen "$mnt/shared" >/dev/null 2>"$work/err" || status=$?
[ $status = 1 ] && grep -qF "$mnt/shared: not a mount point" "$work/err" ||
    fail "a folder inside the drive: status $status, $(cat "$work/err")"
echo "e2e_unseen: ok"
