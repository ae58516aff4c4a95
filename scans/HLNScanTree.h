#pragma once

#include "model/HLNFile.h"
#include "toolkit/TFTreeSink.h"

#include <cstdint>
#include <vector>

// Builds a scan's tree of imported nodes from a source's events (TFTreeSink:
// the scan reader's, or batches of them), in their order: a folder's figures
// are its own and its entries' as the source gives them, and a file of
// several names counts once when the tree is whole. A folder that is not
// entered (another file system), and an entry left out, count nothing. It
// enters every folder it may and wants every folder's entries, and answers
// so at once (HLNScanLoad's batches answer for it in the same way). What
// adds up past 2^63 bytes throws HLNScanReader::Failure, with no place:
// the source places it.
//
// A tree that a window shows while the scan is read is built on the sizing
// thread, the only one that links nodes into a shown tree: showSoFar puts
// the folders still open in it with what they hold so far (not complete),
// and each folder is finished as it closes. Unfinished and dropped, the
// tree is released.
class HLNScanTree : public TFTreeSink {
public:
    HLNScanTree() = default;
    ~HLNScanTree() override;
    HLNScanTree(const HLNScanTree&) = delete;
    HLNScanTree& operator=(const HLNScanTree&) = delete;

    bool entry(const Folder& folder, const char* name, const Examination& ex,
               bool enterable) override;
    bool enterFolder(const Folder& folder) override;
    void leaveFolder(const Folder& folder) override;
    void readError(const Folder* parent, const char* name, int error) override;
    // Whether entry() enters a folder so described.
    static bool enters(const Examination& ex, bool enterable) {
        return ex.isDirectory() && enterable;
    }

    // The scanned folder, from its enterFolder on.
    const Ref<HLNFile>& root() const { return _root; }
    // Folders opened and not yet closed.
    size_t openFolders() const { return _frames.size(); }
    // Entries read so far, folders included.
    uint64_t entries() const { return _entries; }

    // The root, from now on shown while it grows: not complete until finished.
    void beginShowing();
    // Puts what was read since the last call in the shown tree.
    void showSoFar();
    // Once every folder is closed: what the scan lacks is unknown, files of
    // several names count once; the root is the caller's from now on.
    Ref<HLNFile> finish();
    // A damaged scan: every folder still open keeps what was read of it and
    // is closed; then finish.
    Ref<HLNFile> finishEarly();

private:
    struct Frame {
        Ref<HLNFile> node;
        std::vector<Ref<HLNFile>> children;
        HLNFile::Measures total;
        uint64_t device;
        // What was shown last: how many entries, and the folder open in it.
        size_t shownChildren = 0;
        const HLNFile* shownOpen = nullptr;
    };
    // What the entry tells of the whole scan, and its own figures.
    HLNFile::Measures _own(const Examination& ex, bool counted);
    void _close(bool checked);
    uint64_t _add(uint64_t a, uint64_t b) const;
    HLNFile::Measures _add(HLNFile::Measures a, const HLNFile::Measures& b) const;

    std::vector<Frame> _frames;
    Ref<HLNFile> _root;
    bool _showing = false;
    uint64_t _entries = 0;
    // Whether any entry gives an apparent size, or a time: a scan that gives
    // none lacks them (they are unknown, not 0).
    bool _hasApparent = false, _hasModification = false;
    // The names of files of several names, counted once when all is read.
    std::vector<HLNFile::ImportedName> _linked;
};
