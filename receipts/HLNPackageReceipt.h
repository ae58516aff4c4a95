#pragma once

#include "toolkit/TFObject.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One installed package and the absolute paths it lists, and the class-wide
// index that answers "which packages list this file?" for the browser.
//
// Sources, read once by one scan thread, in this order:
//  1. installer receipts: every "*.bom" beneath the receipts folder, listed by
//     the lister program with "-s" (one receipt per BOM);
//  2. dpkg's file lists: every "*.list" in dpkg's info folder (one receipt
//     per package; files and links only, each also under the spelling with
//     the symbolic links among its parent folders resolved).
// Every receipt shares one path index (a TFTrie in one zone) whose entry for
// a path names the receipts that list it, in scan order.
//
// Threads: allPackages() and the lookups may be called from any thread.
// Locks, never held together and never while a source is read: the receipt
// list lock (the first allPackages() on the main thread also reads a
// preference under it), and
// the index lock (a shared mutex: lookups share it, the scan thread takes it
// alone for one batch of at most 256 paths).
class HLNPackageReceipt : public TFObject {
public:
    using ReceiptList = std::shared_ptr<const std::vector<Ref<HLNPackageReceipt>>>;

    // The receipts published so far, in scan order; never null. The first
    // call starts the scan thread. The snapshot stays valid after later
    // publications.
    static ReceiptList allPackages();
    // "" when no published receipt lists the path (exact, case-sensitive);
    // "Part of package X" for one; "Part of packages A, B" for several.
    static std::string packageNamesForFilename(const std::string& path);
    // Main thread only: reads the scan's preferences for a scan that another
    // thread may start (no thread but the main one calls into Qt).
    static void readPreferences();
    // Starts the scan if need be and blocks until it has ended.
    static void waitUntilScanFinished();

    const std::string& packageName() const { return _packageName; }
    bool fileIsPartOfPackage(const std::string& path) const;

    // Where the scan looks; read when the scan starts. An empty string turns
    // that source off. Defaults: "/Library/Receipts/", "/usr/bin/lsbom",
    // "/var/lib/dpkg/info".
    static void setReceiptsFolder(const std::string& path);
    static void setListerPath(const std::string& path);
    static void setDpkgInfoFolder(const std::string& path);

    // For tests: waits for a running scan, then forgets the list and the
    // index and puts the locations back to their defaults, so that the next
    // allPackages() runs a fresh scan. Snapshots taken before stay valid.
    static void resetForTesting();

    // Index memory, for measurement: bytes the shared zone holds, and the
    // bytes of the distinct paths stored in it.
    struct IndexStatistics {
        size_t zoneBytes = 0;
        size_t pathBytes = 0;
        size_t paths = 0;
    };
    static IndexStatistics indexStatistics();

    ~HLNPackageReceipt();

    struct Index; // the shared path index (private to the implementation)
    struct Scan;  // one run of the scan thread (private to the implementation)

private:
    HLNPackageReceipt(std::string name, std::shared_ptr<Index> index, uint32_t ordinal);

    static void _generateAllPackages(const std::shared_ptr<Scan>& scan);
    static void _readReceipts(Scan& scan);
    static void _readDpkgLists(Scan& scan);
    static void _setAllPackages(const std::vector<Ref<HLNPackageReceipt>>& receipts);
    static Ref<HLNPackageReceipt> initWithName(Scan& scan, const std::string& name,
                                               const std::string& rootPath,
                                               const std::string& bomPath);
    static Ref<HLNPackageReceipt> initWithDpkgList(Scan& scan, const std::string& name,
                                                   const std::string& listPath);
    void readFilesFromRootPath(Scan& scan, const std::string& rootPath, const std::string& bomPath);
    void readFilesFromDpkgList(Scan& scan, const std::string& listPath);
    void addPath(std::string path);
    void _flushPaths();

    std::string _packageName;
    std::shared_ptr<Index> _index;
    uint32_t _ordinal;                 // unique per receipt built; increases in scan order
    std::vector<std::string> _pending; // paths not yet in the index (construction only)
};
