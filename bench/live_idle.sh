#!/usr/bin/env bash
# What following the disk costs a window on /: the CPU time of an idle
# window over 60 s once sizing has ended, and the memory following takes
# (the resident size with inotify watches on every folder, less that with
# fanotify, which keeps nothing per folder), per folder and per entry.
#
#   bench/live_idle.sh [HOLLIN_BINARY]     (as root, for fanotify)
set -euo pipefail
binary=${1:-$(cd "$(dirname "$0")/.." && pwd)/build/hollin}
export QT_QPA_PLATFORM=offscreen
seconds=${HOLLIN_IDLE_SECONDS:-60}

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss() { awk '/VmRSS/ {print $2 * 1024}' "/proc/$1/status"; }
# Waits until 5 s pass with under 1% of a core used (sizing over), or ten
# minutes: on a disk that other programs keep changing it never gets there.
settle() {
    local before after waited=0
    while ((waited < 600)); do
        before=$(ticks "$1")
        sleep 5
        waited=$((waited + 5))
        after=$(ticks "$1")
        (((after - before) * 100 < 5 * $(getconf CLK_TCK))) && return
    done
    echo "(still busy after ten minutes: measured as it is)"
}
measure() { # label, environment...
    local label=$1
    shift
    env "$@" "$binary" / >/dev/null 2>&1 &
    local pid=$!
    settle $pid
    local t0 t1
    t0=$(ticks $pid)
    sleep "$seconds"
    t1=$(ticks $pid)
    local hz
    hz=$(getconf CLK_TCK)
    printf '%s: %s s of CPU in %s s idle (%s%% of a core), resident %s bytes\n' "$label" \
        "$(echo "scale=2; ($t1 - $t0) / $hz" | bc)" "$seconds" \
        "$(echo "scale=3; ($t1 - $t0) * 100 / $hz / $seconds" | bc)" "$(rss $pid)"
    eval "rss_$label=$(rss $pid)"
    kill $pid
    wait $pid 2>/dev/null || true
}
folders=$( (find / -xdev -type d 2>/dev/null || true) | wc -l)
entries=$( (find / -xdev 2>/dev/null || true) | wc -l)
echo "/: $folders folders, $entries entries"
measure fanotify HOLLIN_FOLLOW=
measure inotify HOLLIN_FOLLOW=inotify
extra=$((rss_inotify - rss_fanotify))
echo "inotify's extra memory: $extra bytes, $((extra / folders)) a folder, $((extra / entries)) an entry"
