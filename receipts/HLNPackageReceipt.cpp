#include "receipts/HLNPackageReceipt.h"

#include "toolkit/TFCommand.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFException.h"
#include "toolkit/TFMainThread.h"
#include "toolkit/TFPreference.h"
#include "toolkit/TFString.h"
#include "toolkit/TFStringScanner.h"
#include "toolkit/TFTreeWalker.h"
#include "toolkit/TFTrie.h"
#include "toolkit/TFTrieZone.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr const char* defaultReceiptsFolder = "/Library/Receipts/";
constexpr const char* defaultListerPath = "/usr/bin/lsbom";
constexpr const char* defaultDpkgInfoFolder = "/var/lib/dpkg/info";
// Paths go into the index in batches of this many, so a lookup on the main
// thread never waits for more than one batch.
constexpr size_t pathBatch = 256;

// One link in the chain of receipts that list a path, newest first.
struct ReceiptMark : TFTrieBucket {
    uint32_t ordinal;
    const ReceiptMark* older;
};

void logLine(const std::string& text) {
    std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string joinPath(const std::string& folder, std::string_view relative) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path != "/")
        path += '/';
    path += relative;
    return path;
}

std::string_view lastComponent(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The extension of a path's last component ("" for none; a leading dot
// starts a name, not an extension).
std::string_view pathExtension(std::string_view path) {
    std::string_view last = lastComponent(path);
    size_t dot = last.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? std::string_view() : last.substr(dot + 1);
}

std::string_view withoutExtension(std::string_view path) {
    std::string_view extension = pathExtension(path);
    return extension.empty() ? path : path.substr(0, path.size() - extension.size() - 1);
}

// The display name of the package whose BOM lies at this path relative to
// the receipts folder.
std::string packageNameForBom(std::string_view relative) {
    std::string_view first = relative.substr(0, relative.find('/'));
    if (first == "boms")
        return TFString::stringByRemovingPrefix(withoutExtension(lastComponent(relative)),
                                                "com.apple.pkg.");
    if (first.size() > 4 && first.substr(first.size() - 4) == ".pkg")
        return std::string(withoutExtension(first));
    return std::string(withoutExtension(relative));
}

std::string readWholeFile(const std::string& path) {
    std::string data;
    if (int error = TFDirectory::readWholeFile(path, data))
        throw TFException(std::strerror(error));
    return data;
}

// The entries of a folder, sorted bytewise so the scan order does not
// depend on the file system; none when it cannot be listed.
std::vector<TFDirectory::Entry> readFolder(const TFDirectory& folder) {
    std::vector<TFDirectory::Entry> entries;
    folder.readEntries(entries);
    std::sort(
        entries.begin(), entries.end(),
        [](const TFDirectory::Entry& a, const TFDirectory::Entry& b) { return a.name < b.name; });
    return entries;
}

// Visits every entry beneath an open folder, depth-first, a folder before
// its contents, each folder's entries in bytewise order, handing over paths
// relative to the top. Never follows a symbolic link below the top; folders
// that cannot be opened yield nothing.
class TreeEnumeration : public TFTreeWalker::Sink {
public:
    explicit TreeEnumeration(const std::function<void(const std::string&)>& visit)
        : _visit(visit) {}

    bool entry(const TFTreeWalker::Folder& folder, const char* name,
               const TFDirectory::Examination& ex, bool enterable) override {
        if (!ex.exists())
            return false;
        const std::string& above = _paths.back();
        _entered = above.empty() ? std::string(name) : above + "/" + name;
        _visit(_entered);
        // Receipts folders are shallow; a deeper chain is not worth following.
        return enterable && folder.depth < 128;
    }
    bool enterFolder(const TFTreeWalker::Folder&) override {
        _paths.push_back(std::move(_entered));
        return true;
    }
    void leaveFolder(const TFTreeWalker::Folder&, const TFDirectory*) override {
        _paths.pop_back();
    }
    void readError(const TFTreeWalker::Folder*, const char*, int) override {}

private:
    const std::function<void(const std::string&)>& _visit;
    std::vector<std::string> _paths;
    std::string _entered; // the top's relative path is empty
};

void enumerateTree(const TFDirectory& folder,
                   const std::function<void(const std::string&)>& visit) {
    TreeEnumeration enumeration(visit);
    TFTreeWalker::Options options;
    options.crossFileSystems = true;
    options.sortedByBytes = true;
    TFTreeWalker(enumeration, options).walkOpen(folder.duplicate(), ".");
}

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

// What the dpkg source needs from the disk: whether an entry is a folder,
// and how a folder is spelled with the symbolic links along it resolved.
// Each physical folder is listed once per scan (the kinds of its entries
// come with the listing), so a whole package database costs about one
// listing per folder instead of a stat call per file. Folders are spelled
// without a trailing slash; the root is "".
class DiskView {
public:
    struct Folder {
        std::string real; // the spelling without links
        bool exists;
    };

    const Folder& folder(std::string_view path) {
        if (auto it = _folders.find(path); it != _folders.end())
            return it->second;
        Folder result{std::string(), path.empty()};
        size_t slash = path.rfind('/');
        std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (path.empty()) {
            // the root
        } else if (slash == std::string_view::npos || name.empty() || name == "." || name == "..") {
            result = fromRealpath(std::string(path));
        } else {
            Folder parent = folder(path.substr(0, slash));
            if (parent.exists) {
                switch (kindOf(parent.real, name)) {
                case Kind::folder:
                    result = {parent.real + "/" + std::string(name), true};
                    break;
                case Kind::link:
                    result = fromRealpath(parent.real + "/" + std::string(name));
                    break;
                case Kind::other:
                    break;
                }
            }
        }
        return _folders.emplace(std::string(path), std::move(result)).first->second;
    }

    bool isFolder(const std::string& realFolder, std::string_view name) {
        return kindOf(realFolder, name) == Kind::folder;
    }

private:
    enum class Kind : char { folder, link, other };

    static Folder fromRealpath(const std::string& path) {
        std::optional<std::string> real = TFDirectory::resolvedPathFollowingLinks(path);
        if (!real)
            return {std::string(), false};
        return {*real == "/" ? std::string() : std::move(*real), true};
    }

    Kind kindOf(const std::string& realFolder, std::string_view name) {
        if (_listed.insert(realFolder).second) {
            // The spelling has no links in it, so the folder opens as named.
            std::vector<TFDirectory::Entry> entries;
            TFDirectory::openPath(realFolder.empty() ? "/" : realFolder).readEntries(entries);
            for (const TFDirectory::Entry& entry : entries) {
                if (entry.type == TFDirectory::EntryType::directory)
                    _kinds.emplace(realFolder + "/" + entry.name, Kind::folder);
                else if (entry.type == TFDirectory::EntryType::link)
                    _kinds.emplace(realFolder + "/" + entry.name, Kind::link);
            }
        }
        _scratch.assign(realFolder).append("/").append(name);
        auto it = _kinds.find(std::string_view(_scratch));
        return it == _kinds.end() ? Kind::other : it->second;
    }

    std::unordered_map<std::string, Folder, StringHash, std::equal_to<>> _folders;
    std::unordered_map<std::string, Kind, StringHash, std::equal_to<>>
        _kinds; // folders and links only
    std::unordered_set<std::string, StringHash, std::equal_to<>> _listed;
    std::string _scratch;
};
} // namespace

struct HLNPackageReceipt::Index {
    TFTrieZone zone;                // every node, label and mark of every receipt
    TFTrie trie{true, &zone};       // path -> newest ReceiptMark
    mutable std::shared_mutex lock; // leaf: lookups share it, a batch of inserts takes it alone
    uint32_t nextOrdinal = 0;       // scan thread only
    size_t pathBytes = 0;           // bytes of the distinct paths held (under lock)
};

struct HLNPackageReceipt::Scan {
    std::string receiptsFolder;
    std::string listerPath;
    std::string dpkgInfoFolder;
    std::shared_ptr<Index> index;
    bool debug = false;
    std::vector<Ref<HLNPackageReceipt>> receipts; // the working array, in scan order
    DiskView disk;                                // dpkg source only
};

namespace {
struct State {
    // Guards everything below. Held alone, except that the first
    // allPackages() on the main thread reads a preference under it
    // (TFPreference's lock nests).
    std::mutex listLock;
    std::condition_variable scanEnded;
    HLNPackageReceipt::ReceiptList list; // null until the first allPackages()
    bool scanRunning = false;
    std::string receiptsFolder = defaultReceiptsFolder;
    std::string listerPath = defaultListerPath;
    std::string dpkgInfoFolder = defaultDpkgInfoFolder;
    std::shared_ptr<HLNPackageReceipt::Index> index = std::make_shared<HLNPackageReceipt::Index>();
    bool debugScanning = false; // the preference as last read on the main thread
};

// Never destroyed: the scan thread is detached and may still be running
// while the program exits.
State& state() {
    static State* s = new State();
    return *s;
}
} // namespace

HLNPackageReceipt::HLNPackageReceipt(std::string name, std::shared_ptr<Index> index,
                                     uint32_t ordinal)
    : _packageName(std::move(name)), _index(std::move(index)), _ordinal(ordinal) {}

HLNPackageReceipt::~HLNPackageReceipt() = default;

// Class operations

HLNPackageReceipt::ReceiptList HLNPackageReceipt::allPackages() {
    State& s = state();
    std::scoped_lock lock(s.listLock);
    if (!s.list) {
        s.list = std::make_shared<const std::vector<Ref<HLNPackageReceipt>>>();
        auto scan = std::make_shared<Scan>();
        scan->receiptsFolder = s.receiptsFolder;
        scan->listerPath = s.listerPath;
        scan->dpkgInfoFolder = s.dpkgInfoFolder;
        scan->index = s.index;
        // Read here, once: the scan thread then needs nothing from Qt and
        // can outlive the application object at exit. Preferences live in
        // Qt, so another thread starting the scan takes the value that
        // readPreferences() handed over from the main thread.
        if (TFMainThread::isMainThread())
            s.debugScanning = TFPreference::preferenceForKey("DebugPackageScanning").boolValue();
        scan->debug = s.debugScanning;
        s.scanRunning = true;
        try {
            std::thread(&HLNPackageReceipt::_generateAllPackages, scan).detach();
        } catch (const std::exception& e) {
            s.scanRunning = false;
            logLine(std::string("Unable to read package receipts: ") + e.what());
        }
    }
    return s.list;
}

void HLNPackageReceipt::readPreferences() {
    bool debug = TFPreference::preferenceForKey("DebugPackageScanning").boolValue();
    State& s = state();
    std::scoped_lock lock(s.listLock);
    s.debugScanning = debug;
}

void HLNPackageReceipt::waitUntilScanFinished() {
    allPackages();
    State& s = state();
    std::unique_lock lock(s.listLock);
    s.scanEnded.wait(lock, [&] { return !s.scanRunning; });
}

std::string HLNPackageReceipt::packageNamesForFilename(const std::string& path) {
    ReceiptList list = allPackages();
    if (list->empty())
        return {};
    const Index& index = *list->front()->_index;

    uint32_t inlineOrdinals[16];
    std::vector<uint32_t> moreOrdinals;
    size_t found = 0;
    {
        std::shared_lock lock(index.lock);
        auto* mark = static_cast<const ReceiptMark*>(index.trie.bucketForString(path));
        for (; mark; mark = mark->older) {
            if (found < std::size(inlineOrdinals)) {
                inlineOrdinals[found] = mark->ordinal;
            } else {
                if (moreOrdinals.empty())
                    moreOrdinals.assign(inlineOrdinals, inlineOrdinals + found);
                moreOrdinals.push_back(mark->ordinal);
            }
            ++found;
        }
    }
    if (!found)
        return {};
    const uint32_t* ordinals = moreOrdinals.empty() ? inlineOrdinals : moreOrdinals.data();

    // The chain runs newest first; the list runs in scan order. Receipts
    // still being read (or dropped) are in the chain but not in the list.
    std::string names;
    size_t matches = 0;
    auto cursor = list->begin();
    for (size_t i = found; i-- > 0;) {
        uint32_t ordinal = ordinals[i];
        cursor = std::lower_bound(
            cursor, list->end(), ordinal,
            [](const Ref<HLNPackageReceipt>& r, uint32_t o) { return r->_ordinal < o; });
        if (cursor == list->end())
            break;
        if ((*cursor)->_ordinal != ordinal)
            continue;
        if (matches++)
            names += ", ";
        names += (*cursor)->_packageName;
    }
    if (matches == 0)
        return {};
    return (matches == 1 ? "Part of package " : "Part of packages ") + names;
}

bool HLNPackageReceipt::fileIsPartOfPackage(const std::string& path) const {
    std::shared_lock lock(_index->lock);
    auto* mark = static_cast<const ReceiptMark*>(_index->trie.bucketForString(path));
    for (; mark && mark->ordinal >= _ordinal; mark = mark->older)
        if (mark->ordinal == _ordinal)
            return true;
    return false;
}

void HLNPackageReceipt::setReceiptsFolder(const std::string& path) {
    std::scoped_lock lock(state().listLock);
    state().receiptsFolder = path;
}

void HLNPackageReceipt::setListerPath(const std::string& path) {
    std::scoped_lock lock(state().listLock);
    state().listerPath = path;
}

void HLNPackageReceipt::setDpkgInfoFolder(const std::string& path) {
    std::scoped_lock lock(state().listLock);
    state().dpkgInfoFolder = path;
}

void HLNPackageReceipt::resetForTesting() {
    State& s = state();
    std::unique_lock lock(s.listLock);
    s.scanEnded.wait(lock, [&] { return !s.scanRunning; });
    s.list = nullptr;
    s.index = std::make_shared<Index>();
    s.receiptsFolder = defaultReceiptsFolder;
    s.listerPath = defaultListerPath;
    s.dpkgInfoFolder = defaultDpkgInfoFolder;
}

HLNPackageReceipt::IndexStatistics HLNPackageReceipt::indexStatistics() {
    std::shared_ptr<Index> index;
    {
        std::scoped_lock lock(state().listLock);
        index = state().index;
    }
    std::shared_lock lock(index->lock);
    return {index->zone.bytesReserved(), index->pathBytes, index->trie.count()};
}

// The scan thread

void HLNPackageReceipt::_generateAllPackages(const std::shared_ptr<Scan>& scan) {
    // Each source fails alone: what one published stays, and the next still runs.
    try {
        if (!scan->receiptsFolder.empty())
            _readReceipts(*scan);
    } catch (const std::exception& e) {
        logLine(std::string("Unable to read package receipts: ") + e.what());
    }
    try {
        if (!scan->dpkgInfoFolder.empty())
            _readDpkgLists(*scan);
    } catch (const std::exception& e) {
        logLine(std::string("Unable to read package receipts: ") + e.what());
    }
    State& s = state();
    {
        std::scoped_lock lock(s.listLock);
        s.scanRunning = false;
    }
    s.scanEnded.notify_all();
}

void HLNPackageReceipt::_readReceipts(Scan& scan) {
    const std::string root = "/";
    TFDirectory folder = TFDirectory::openPathFollowingLinks(scan.receiptsFolder);
    if (!folder.isOpen())
        return; // a missing or unreadable folder holds no receipts
    enumerateTree(folder, [&](const std::string& relative) {
        if (pathExtension(relative) != "bom")
            return;
        std::string bomPath = joinPath(scan.receiptsFolder, relative);
        try {
            Ref<HLNPackageReceipt> receipt =
                initWithName(scan, packageNameForBom(relative), root, bomPath);
            if (!receipt)
                return;
            scan.receipts.push_back(std::move(receipt));
            _setAllPackages(scan.receipts);
        } catch (const std::exception& e) {
            logLine("Unable to read package at " + bomPath + " (" + e.what() + "), skipping...");
        }
    });
}

void HLNPackageReceipt::_readDpkgLists(Scan& scan) {
    TFDirectory folder = TFDirectory::openPathFollowingLinks(scan.dpkgInfoFolder);
    if (!folder.isOpen())
        return; // no dpkg here
    for (const TFDirectory::Entry& entry : readFolder(folder)) {
        const std::string& name = entry.name;
        if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".list") != 0)
            continue;
        // A list may be a link to one.
        if (folder.examineFollowingLink(name.c_str()).type != TFDirectory::EntryType::regular)
            continue;
        std::string listPath = joinPath(scan.dpkgInfoFolder, name);
        try {
            Ref<HLNPackageReceipt> receipt =
                initWithDpkgList(scan, name.substr(0, name.size() - 5), listPath);
            if (!receipt)
                continue;
            scan.receipts.push_back(std::move(receipt));
            _setAllPackages(scan.receipts);
        } catch (const std::exception& e) {
            logLine("Unable to read package at " + listPath + " (" + e.what() + "), skipping...");
        }
    }
}

void HLNPackageReceipt::_setAllPackages(const std::vector<Ref<HLNPackageReceipt>>& receipts) {
    auto copy = std::make_shared<const std::vector<Ref<HLNPackageReceipt>>>(receipts);
    ReceiptList old;
    {
        std::scoped_lock lock(state().listLock);
        old = std::exchange(state().list, std::move(copy));
    }
}

// Building one receipt

Ref<HLNPackageReceipt> HLNPackageReceipt::initWithName(Scan& scan, const std::string& name,
                                                       const std::string& rootPath,
                                                       const std::string& bomPath) {
    Ref<HLNPackageReceipt> receipt(
        new HLNPackageReceipt(name, scan.index, scan.index->nextOrdinal++));
    try {
        receipt->readFilesFromRootPath(scan, rootPath, bomPath);
        std::vector<std::string>().swap(receipt->_pending);
    } catch (const std::exception& e) {
        // Named by its BOM: the root path is the same for every receipt.
        logLine("Unable to read package at " + bomPath + " (" + e.what() + "), skipping...");
        return nullptr;
    }
    return receipt;
}

Ref<HLNPackageReceipt> HLNPackageReceipt::initWithDpkgList(Scan& scan, const std::string& name,
                                                           const std::string& listPath) {
    Ref<HLNPackageReceipt> receipt(
        new HLNPackageReceipt(name, scan.index, scan.index->nextOrdinal++));
    try {
        receipt->readFilesFromDpkgList(scan, listPath);
        std::vector<std::string>().swap(receipt->_pending);
    } catch (const std::exception& e) {
        logLine("Unable to read package at " + listPath + " (" + e.what() + "), skipping...");
        return nullptr;
    }
    return receipt;
}

void HLNPackageReceipt::readFilesFromRootPath(Scan& scan, const std::string& rootPath,
                                              const std::string& bomPath) {
    if (scan.debug)
        logLine("Scanning package at " + bomPath);
    // Lines are kept as raw bytes, not decoded: file names are bytes, and a
    // name that is not UTF-8 must still match the file the browser shows.
    std::string output =
        TFCommand::filterDataThroughCommandAtPath("", scan.listerPath, {"-s", bomPath});
    std::string prefix = rootPath;
    if (prefix.empty() || prefix.back() != '/')
        prefix += '/';

    TFStringScanner scanner(output);
    int counter = 0;
    while (auto line = scanner.readLine()) {
        ++counter;
        if (scan.debug && counter % 1000 == 0)
            logLine("    Scanning " + bomPath + ": " + std::to_string(counter) + " entries...");
        if (line->empty())
            continue;
        if (*line == ".")
            addPath(rootPath);
        else if (line->starts_with("./"))
            addPath(prefix + std::string(line->substr(2)));
        else if (line->front() == '/')
            addPath(std::string(*line));
        else
            addPath(prefix + std::string(*line)); // ".x" and plain names alike
    }
    _flushPaths();
    if (scan.debug)
        logLine("    Scanned " + bomPath + ": total of " + std::to_string(counter) + " entries");
}

void HLNPackageReceipt::readFilesFromDpkgList(Scan& scan, const std::string& listPath) {
    if (scan.debug)
        logLine("Scanning package at " + listPath);
    std::string text = readWholeFile(listPath);

    // dpkg writes one absolute path per line, "\n"-terminated ("\r" may be
    // part of a name), "/." for the root.
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        lines.push_back(line == "/." ? std::string_view("/") : line);
        start = end + 1;
    }

    // A listed path with another listed path beneath it is a folder of the
    // package even where the disk has a link (/bin on merged-/usr systems).
    std::unordered_set<std::string_view> folders;
    for (std::string_view line : lines) {
        for (size_t slash = line.rfind('/'); slash != std::string_view::npos && slash > 0;
             slash = line.rfind('/', slash - 1)) {
            if (!folders.insert(line.substr(0, slash)).second)
                break;
        }
    }

    int counter = 0;
    for (std::string_view line : lines) {
        ++counter;
        if (scan.debug && counter % 1000 == 0)
            logLine("    Scanning " + listPath + ": " + std::to_string(counter) + " entries...");
        if (line.empty() || line == "/" || folders.count(line))
            continue;
        std::string owned;
        if (line.front() != '/')
            line = owned = "/" + std::string(line);
        size_t slash = line.rfind('/');
        std::string_view name = line.substr(slash + 1);
        const DiskView::Folder& parent = scan.disk.folder(line.substr(0, slash));
        if (parent.exists) {
            if (scan.disk.isFolder(parent.real, name))
                continue; // an empty folder
            if (parent.real != line.substr(0, slash))
                addPath(parent.real + "/" + std::string(name));
        }
        addPath(std::string(line));
    }
    _flushPaths();
    if (scan.debug)
        logLine("    Scanned " + listPath + ": total of " + std::to_string(counter) + " entries");
}

void HLNPackageReceipt::addPath(std::string path) {
    _pending.push_back(std::move(path));
    if (_pending.size() >= pathBatch)
        _flushPaths();
}

void HLNPackageReceipt::_flushPaths() {
    Index& index = *_index;
    {
        std::unique_lock lock(index.lock);
        for (const std::string& path : _pending) {
            void* block = index.zone.allocate(sizeof(ReceiptMark), alignof(ReceiptMark));
            auto* mark = new (block) ReceiptMark();
            mark->ordinal = _ordinal;
            auto* newest = static_cast<ReceiptMark*>(index.trie.addBucket(mark, path));
            if (newest && newest->ordinal == _ordinal) {
                // Listed twice by this package: keep the chain as it was.
                index.trie.addBucket(newest, path);
                continue;
            }
            mark->older = newest;
            if (!newest)
                index.pathBytes += path.size();
        }
    }
    _pending.clear();
}
