#pragma once

#include "model/HLNFile.h"
#include "model/HLNFileKind.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Answers about a sized tree, whether read from this disk or from a scan:
// the entries that match a search, the largest files, and the space each
// kind of file takes. It reads through the node's own locked calls, a
// folder's entries in one hold of the lock, so any thread may ask, also
// while the tree is sized (the answer is then of the moment each folder was
// read).
class HLNFinder {
public:
    struct Criteria {
        // On the name's bytes, as find -name matches, or on the text a window
        // shows of a name that is not UTF-8; empty: any.
        std::string nameGlob;
        bool nameBytesOnly = false;                      // as find -name alone: not the shown text
        std::optional<uint64_t> largerThan, smallerThan; // bytes, exclusive
        std::optional<int64_t> modifiedBefore, modifiedAfter; // Unix seconds, exclusive
        uint8_t kind = HLNFileKind::KindCount;                // KindCount: any
        bool cachesOnly = false; // folders holding a valid CACHEDIR.TAG
        // Folders that hold a cache or what a build makes again: tagged as
        // above, or named node_modules, __pycache__, .cache, .venv, target
        // beside a Cargo.toml, or build beside a CMakeLists.txt.
        bool cleanupOnly = false;
        bool filesOnly = false, foldersOnly = false;
        bool ignoreCase = false; // of the name (ASCII letters)

        bool asksDates() const { return modifiedBefore || modifiedAfter; }
    };
    struct Entry {
        Ref<HLNFile> node;
        std::string path;
        // A file's own bytes (every name of a file of several shows them); a
        // folder's total.
        uint64_t bytes = 0;
        bool isFolder = false;
        // The same for each measure: a file's own (one item, its time), a
        // folder's subtree; modified: the entry's own time, as find reads it.
        HLNFile::Measures measures;
        int64_t modified = HLNFile::kNoModification;
        bool isExecutable = false;
        // A further name of a file another name counts: measures are that
        // name's, and the tree's total has them once, there.
        bool countedAtAnotherName = false;
        // While visited: the folder's path, so that a file's is made only
        // when wanted (path holds a folder's, and a found entry's).
        const std::string* folderPath = nullptr;
        std::string fullPath() const;
    };

    // How a long walk is ended early, and heard from before it ends.
    struct Control {
        // Read before each folder: once true, the walk ends there.
        const std::atomic<bool>* stop; // none when the Control is {}
        // find: called now and then with what was found since the last call
        // (its entries are then not in what find returns).
        std::function<void(std::vector<Entry>&&)> found;
        bool stopped() const { return stop && stop->load(std::memory_order_relaxed); }
    };

    // Every entry below root, depth-first, names in order unless not asked
    // (faster); the root itself is not visited.
    static void forEachEntry(const Ref<HLNFile>& root,
                             const std::function<void(const Entry&)>& visit,
                             bool inNameOrder = true, const Control& control = {});
    // The entries that match, in that order (or in any, when not asked).
    // Dates are the tree's (a scan's may carry none: ask hasDates first).
    static std::vector<Entry> find(const Ref<HLNFile>& root, const Criteria& criteria,
                                   bool inNameOrder = true, const Control& control = {});
    static bool hasDates(const Ref<HLNFile>& root) { return root->snapshot().knowsModification; }
    // The n largest files (not folders) by the figure, largest first, then by path.
    static std::vector<Entry> largestFiles(const Ref<HLNFile>& root, size_t n,
                                           HLNFile::Figure figure = HLNFile::Figure::diskUsage,
                                           const Control& control = {});

    struct Figures {
        uint64_t bytes = 0, items = 0;
    };
    // Space by kind and by extension, each file once (as the tree's total
    // counts it); the folders' own bytes apart, so that the kinds, and the
    // extensions, add up to the root's total.
    struct Census {
        std::array<Figures, HLNFileKind::KindCount> kinds{};
        std::map<std::string, Figures> extensions; // "" for names without one
        // The same, apart by kind: an extension's files may be of two kinds
        // (a name without one is a program when executable, other if not).
        std::array<std::map<std::string, Figures>, HLNFileKind::KindCount> extensionsOfKind;
        Figures folders;
    };
    // By the figure: bytes (on disk or apparent), or items, in Figures::bytes.
    static Census census(const Ref<HLNFile>& root,
                         HLNFile::Figure figure = HLNFile::Figure::diskUsage,
                         const Control& control = {});

    // Whether the folder at path holds a CACHEDIR.TAG that starts with the
    // tag's signature. In a scan's tree the file's presence is all there is.
    static bool holdsCacheTag(const Ref<HLNFile>& folder, const std::string& path);
    static bool isCleanupCandidate(const Ref<HLNFile>& folder, const std::string& path);
};
