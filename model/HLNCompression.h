#pragma once

#include "toolkit/TFArchive.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Compress: making entries take less space, the one safe way each file
// system offers.
//   On btrfs the files are recompressed in place with zstd, and the files
//   and folders are marked so that what is written later is compressed
//   too. Nothing is copied, nothing can be lost.
//   Elsewhere NAME.tar.zst is written beside the entry (a hidden partial
//   name until it is whole), read back and checked against the entry, and
//   only then is the entry moved to the Trash, from where it can be
//   restored. Whatever fails or is cancelled before that leaves the entry
//   as it was and no archive.
// plan() and estimatedRatio() are quick; run() is long: call it off the main
// thread. Nothing here touches the file tree in memory.
class HLNCompression {
public:
    struct Item {
        std::string path;
        bool inPlace = false; // btrfs: recompressed where it is
        std::string refusal;  // not to be compressed, and why (empty: go)
    };
    // How each path would be compressed, or why not.
    static std::vector<Item> plan(const std::vector<std::string>& paths);

    // What a sample of the items' file contents (a few MB at most)
    // compresses to, as a fraction of it; none when there is nothing to
    // sample.
    static std::optional<double> estimatedRatio(const std::vector<Item>& items);

    // Shared with the thread that runs the work.
    struct Progress {
        std::atomic<uint64_t> total{0}; // known once the entries are counted
        TFArchive::Control control;     // done so far, and cancel
    };

    struct Outcome {
        uint64_t saved = 0;                      // bytes, as far as they could be measured
        std::vector<std::string> done;           // a sentence for each entry compressed
        std::vector<std::string> failures;       // "PATH: why", for each that was not
        std::vector<std::string> changedFolders; // to be read again
        bool cancelled = false;
        bool throughTrash = false; // some of it is saved once the Trash is emptied
        bool ok() const { return failures.empty() && !cancelled; }
    };
    static Outcome run(const std::vector<Item>& items, Progress& progress);
};
