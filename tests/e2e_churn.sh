#!/usr/bin/env bash
# hollin --report on a tree that changes while it is read: a mover keeps
# moving folders between the tree's branches (so the true total never
# changes) from before the report starts until after it ends. The report's
# total must be within 0.5% of du -sx -B1 taken before the moves began.
# CHURN_RATE: moves a second (200 by default; 0 as fast as it can).
set -euo pipefail
hollin=${HOLLIN_BINARY:?HOLLIN_BINARY not set}
mover=${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/tests/support/folder_mover.py
work=$(mktemp -d /tmp/hollin-e2e-churn-XXXXXX)
mover_pid=
cleanup() {
    [ -n "$mover_pid" ] && kill "$mover_pid" 2>/dev/null && wait "$mover_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# 8 branches of 200 folders (room for 600 in each), each of 44 blocks or
# so: one folder is 1/1600 of the total, and the report has 8 of them to
# be off by. Large enough that moves happen while it reads the tree.
python3 "$mover" make "$work/t" 8 200 20 600 || fail "could not make the tree"
truth=$(du -sx -B1 "$work/t" | cut -f1)

error() { # TOTAL: its difference from the truth, in percent
    python3 -c "print('%+.3f' % ((int('$1') - $truth) * 100 / $truth))"
}

rate=${CHURN_RATE:-200} # moves a second
for run in 1 2; do
    # The mover says when it is moving; the report starts only then, and
    # the mover stops only after the report and du have ended.
    coproc MOVER { exec python3 "$mover" move "$work/t" "$rate" 2>"$work/mover.err"; }
    mover_pid=$MOVER_PID
    read -r said <&"${MOVER[0]}" || fail "the mover did not start"
    [ "$said" = moving ] || fail "the mover said: $said"
    "$hollin" --report "$work/t" >"$work/report" 2>"$work/err" || fail "report exited $?: $(cat "$work/err")"
    # du too reads the tree while it changes (and says so on standard error).
    theirs=$( (du -sx -B1 "$work/t" 2>/dev/null || true) | cut -f1)
    kill -TERM "$mover_pid" || fail "the mover ended early: $(cat "$work/mover.err")"
    read -r moved <&"${MOVER[0]}" || moved="(no count)"
    wait "$mover_pid" || true
    mover_pid=
    ours=$(tail -n 1 "$work/report" | cut -f1)
    [ "$(tail -n 1 "$work/report" | cut -f2-)" = "$work/t" ] || fail "the report's last line is not the root's"
    echo "run $run at $rate moves a second ($moved): hollin $(error "$ours")%, du $(error "$theirs")%"
    python3 -c "import sys; sys.exit(abs($ours - $truth) * 200 > $truth)" ||
        fail "report total $ours is more than 0.5% from $truth"
done
# The moves changed no size: the truth still holds.
[ "$(du -sx -B1 "$work/t" | cut -f1)" = "$truth" ] || fail "the moves changed the tree's total"
echo "e2e_churn: ok"
