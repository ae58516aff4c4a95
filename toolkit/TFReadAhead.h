#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a tree's folders and entries ahead of the one thread that sizes it,
// so that on a cold disk many metadata reads are in flight at once instead
// of one. A few worker threads open, list and examine the folders below a
// root (never following a link, never leaving the root's file system), in
// roughly the order the sizing thread visits them: depth first, the last
// name first. They keep nothing: what they read stays in the kernel's
// caches, where the sizing thread then finds it. A walk that keeps finding
// its folders in those caches stops: on a warm tree it would only double
// the work.
class TFReadAhead {
public:
    // Starts reading ahead below each of paths, the last one first, before
    // what is left of earlier walks.
    static void readAheadOf(const std::vector<std::string>& paths);
    // Drops what is left of the current walk; a folder being read is
    // finished.
    static void stop();

    // Whether no walk is going on.
    static bool isIdle();
    // Whether this thread has read blocks from the disk since it last asked
    // (the first answer counts from the thread's start).
    static bool hasWaitedForDisk();

    // For tests: waits until no walk is going on, and answers how many
    // folders the workers have listed since the program started.
    static uint64_t waitUntilIdleForTesting();
};
