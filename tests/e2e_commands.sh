#!/usr/bin/env bash
# The window-less commands take a PATH one way and say every failure: a link
# given with a slash is its folder for each of them; a path that cannot be
# examined fails each with "hollin: PATH: reason" and no output file; the
# SVG is well-formed XML with a distinct data-path for every name; damaged
# scans are refused; unreadable entries are named and fail --report,
# --export and --treemap (as an unprivileged user); a full standard output fails every
# command; --package resolves spellings as the kernel does; entries of
# equal size come in one order live and from a scan; and a refused
# hand-over fails the hollin that made it.
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
work=$(mktemp -d /tmp/hollin-e2e-commands-XXXXXX)
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export QT_QPA_PLATFORM=offscreen
cd "$work"

# Runs hollin, keeping its status, standard output and standard error.
run() {
    set +e
    "$hollin" "$@" >"$work/out" 2>"$work/err"
    status=$?
    set -e
}
said() { grep -qF -- "$1" "$work/err" || fail "expected '$1' on stderr, got: $(cat "$work/err")"; }

# ---- A link to a folder, given with a slash, is the folder for every command.
mkdir -p real/sub
head -c 50000 /dev/urandom >real/file
head -c 9000 /dev/urandom >real/sub/other
ln -s real docs
want=$(du -sxl -B1 real | cut -f1)
run --report docs/
[ $status -eq 0 ] || fail "report of docs/ exited $status"
[ "$(tail -n 1 out)" = "$want	docs/" ] || fail "report of docs/ ends with $(tail -n 1 out), not $want"
run --export docs.json docs/
[ $status -eq 0 ] || fail "export of docs/ exited $status: $(cat err)"
run --report docs.json
[ "$(tail -n 1 out | cut -f1)" = "$want" ] || fail "the scan of docs/ counts $(tail -n 1 out)"
run --treemap docs/ docs.svg 300x200
[ $status -eq 0 ] || fail "treemap of docs/ exited $status"
python3 - docs.svg "$want" <<'PY' || fail "treemap of docs/ is not the folder's"
import sys, xml.etree.ElementTree as ET
rects = list(ET.parse(sys.argv[1]).iter("{http://www.w3.org/2000/svg}rect"))
assert rects and rects[0].get("data-bytes") == sys.argv[2], [r.attrib for r in rects[:1]]
assert len(rects) >= 3, len(rects)
PY
# Without the slash the link is the link, as for du.
run --report docs
[ "$(cut -f2 out)" = "docs" ] || fail "report of the link itself printed $(cat out)"

# ---- A path that cannot be examined fails every command, writing nothing.
long=$work/$(printf 'n%.0s' $(seq 300))
for args in "--report $long" "--export long.json $long" "--treemap $long long.svg" \
    "--treemap $long long.png" "--package $long" "--report real/file/" "--export file.json real/file"; do
    # shellcheck disable=SC2086
    run $args
    [ $status -eq 1 ] || fail "$args exited $status"
    [ -s out ] && fail "$args printed $(cat out)"
    case $args in
    *"$long"*) said "hollin: $long: File name too long" ;;
    *) grep -q '^hollin: real/file/*: Not a directory$' err || fail "$args said: $(cat err)" ;;
    esac
done
for f in long.json long.svg long.png file.json; do [ ! -e "$f" ] || fail "a refused command wrote $f"; done

# ---- Every name gives well-formed XML and a data-path of its own.
mkdir names
python3 - names <<'PY'
import os, sys
for name in ["a\uFFFE".encode(), "b\uFFFF".encode(), b"a\\xFF", b"a\xff", b"c\x01", b"c\\x01",
             b"back\\slash", b"tab\there", "\u00e9t\u00e9".encode()]:
    with open(os.path.join(sys.argv[1].encode(), name), "wb") as f:
        f.write(b"x" * 5000)
PY
run --treemap names names.svg 800x600
[ $status -eq 0 ] || fail "treemap of awkward names exited $status: $(cat err)"
python3 - names.svg <<'PY' || fail "the SVG of awkward names"
import sys, xml.etree.ElementTree as ET
paths = [r.get("data-path").rsplit("/", 1)[-1]
         for r in ET.parse(sys.argv[1]).iter("{http://www.w3.org/2000/svg}rect")][1:]
assert len(paths) == 9 and len(set(paths)) == 9, paths
for want in ["a\\xEF\\xBF\\xBE", "a\\\\xFF", "a\\xFF", "c\\x01", "c\\\\x01", "back\\\\slash",
             "tab\\x09here", "\u00e9t\u00e9"]:
    assert want in paths, (want, paths)
PY
if command -v xmllint >/dev/null; then
    xmllint --noout names.svg || fail "xmllint refuses the SVG"
fi

# ---- What is not JSON, or no file's name, is a damaged scan, never a file.
printf '\xef\xbb\xbf[1,2,{},[{"name":"/x"}]]' >bom.json
printf '[1,2,{},[{"name":"/x"},{"name":"y","dsize":00012}]]' >zeros.json
printf '[1,2,{"timestamp":01},[{"name":"/x"}]]' >zerostamp.json
printf '[ 1x,2,{},[{"name":"/x"}]]' >first.json
printf '[-1,2,{},[{"name":"/x"}]]' >minus.json
python3 -c 'import sys; sys.stdout.write("[1,2,{},[{\"name\":\"/x\"},{\"name\":\"" + "n" * 1021 + "\"}]]")' >name.json
python3 -c 'import sys; sys.stdout.write("[1,2,{},[{\"name\":\"/" + "n" * 1021 + "\"}]]")' >root.json
for scan in bom zeros zerostamp first minus name root; do
    run --report $scan.json
    [ $status -eq 1 ] || fail "report of $scan.json exited $status: $(cat out)"
    said "hollin: $scan.json: not a scan file: "
done
said "longer than any file system allows"
# The longest name a file system may hold still reads.
python3 -c 'import sys; sys.stdout.write("[1,2,{},[{\"name\":\"/x\"},{\"name\":\"" + "\u00e9" * 510 + "\",\"dsize\":7}]]")' >longest.json
run --report longest.json
[ $status -eq 0 ] && [ "$(head -c 2 out)" = "7	" ] || fail "a 1020-byte name was refused: $(cat err)"

# ---- Entries that cannot be read are named and fail the command, as du's.
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$hollin" "$@"; }
chmod 755 "$work"
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "e2e_commands: not root: unreadable folders not checked (setpriv needs root)"
elif ! as_nobody --version >/dev/null 2>&1; then
    echo "e2e_commands: nobody may not run $hollin: unreadable folders not checked"
else
    mkdir -p locked/open locked/shut locked/blind
    echo x >locked/shut/inside
    echo y >locked/blind/unseen
    chmod 000 locked/shut
    chmod 644 locked/blind
    set +e
    as_nobody --report locked >out 2>err
    status=$?
    set -e
    [ $status -eq 1 ] || fail "report of unreadable folders exited $status"
    said "hollin: locked/shut: Permission denied"
    said "hollin: locked/blind/unseen: Permission denied"
    [ "$(wc -l <out)" -eq 4 ] || fail "report of unreadable folders printed $(cat out)"
    set +e
    as_nobody --export - locked >locked.json 2>err
    status=$?
    set -e
    [ $status -eq 1 ] || fail "export of unreadable folders exited $status"
    said "/locked/shut: Permission denied"
    said "/locked/blind/unseen: Permission denied"
    grep -q '"read_error":true' locked.json || fail "the scan does not mark what it could not read"
    mkdir -m 777 drawn
    set +e
    as_nobody --treemap locked drawn/locked.svg 300x200 2>err
    status=$?
    set -e
    [ $status -eq 1 ] || fail "treemap of unreadable folders exited $status"
    said "hollin: locked/shut: Permission denied"
    [ -s drawn/locked.svg ] || fail "treemap of unreadable folders drew nothing"
    run --report locked.json
    [ $status -eq 0 ] || fail "the scan with unreadable entries does not read: $(cat err)"
    chmod 755 locked/shut locked/blind
fi

# ---- A full standard output is said and fails, for every command.
for args in "--version" "--help" "--report real" "--report docs.json" "--export - real" \
    "--package /"; do
    set +e
    # shellcheck disable=SC2086
    "$hollin" $args >/dev/full 2>err
    status=$?
    set -e
    [ $status -eq 1 ] || fail "$args into /dev/full exited $status"
    grep -q 'No space left on device' err || fail "$args into /dev/full said: $(cat err)"
done

# ---- --package: spellings the kernel takes alike answer alike.
if [ -r /var/lib/dpkg/info/coreutils.list ]; then
    run --package /usr/bin/ls /usr/bin//ls /usr/bin/./ls /usr/bin/../bin/ls /usr/bin/ls/ /no/such
    [ $status -eq 1 ] || fail "--package with a missing path exited $status"
    [ "$(cut -f2 out | sort -u)" = "Part of package coreutils" ] || fail "--package answered $(cat out)"
    [ "$(wc -l <out)" -eq 4 ] || fail "--package printed $(cat out)"
    said "hollin: /no/such: No such file or directory"
    said "hollin: /usr/bin/ls/: Not a directory"
    (cd /usr && "$hollin" --package bin/ls) | grep -q '^bin/ls	Part of package coreutils$' ||
        fail "--package of a relative path"
else
    echo "e2e_commands: no dpkg database: --package spellings not checked"
fi

# ---- Ties come in the same order live and from a scan of the same folder.
mkdir ties
for n in b B a A c É é x1 X1 "$(printf 'z\xff')" "$(printf 'Z\xff')"; do
    head -c 3000 /dev/zero >"ties/$n"
done
run --report ties
cp out live
run --export ties.json ties
run --report ties.json
sed "s|	$work/|	|" out >scanned
cmp -s live scanned || { diff live scanned >&2; fail "ties are ordered differently live and from a scan"; }

# ---- A running instance that refuses what it is handed fails the hollin that handed it.
if command -v dbus-run-session >/dev/null && command -v gdbus >/dev/null; then
    export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state HOLLIN_NO_MOTD=1
    mkdir -p "$HOME"
    dbus-run-session -- bash -c '
        hollin=$1
        "$hollin" --service 2>"$2/service.err" &
        service=$!
        gdbus wait --session --timeout 30 io.hollin.Hollin || exit 3
        timeout 30 "$hollin" "$2/zeros.json" 2>"$2/handed.err"
        refused=$?
        timeout 30 "$hollin" "$2/real"
        taken=$?
        dbus-send --session --type=method_call --dest=io.hollin.Hollin /io/hollin/Hollin \
            io.hollin.Hollin.Quit
        wait $service
        [ $refused -eq 1 ] && [ $taken -eq 0 ] || { echo "refused $refused, taken $taken"; exit 1; }
    ' _ "$hollin" "$work" || fail "hand-over: $(cat "$work/handed.err" 2>/dev/null)"
    grep -qF "zeros.json" handed.err || fail "the refused hand-over said: $(cat handed.err)"
else
    echo "e2e_commands: no dbus-run-session: hand-over not checked"
fi

echo "e2e_commands: ok"
