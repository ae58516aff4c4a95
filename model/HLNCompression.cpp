#include "model/HLNCompression.h"

#include "toolkit/TFBtrfsCompression.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFFile.h"
#include "toolkit/TFPartialFile.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTrash.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace {

using Examination = TFDirectory::Examination;
// walker.path() is the entry's folder below the walk's parent, for messages.
using Visit = std::function<void(const TFDirectory& folder, const char* name, const Examination& ex,
                                 const TFTreeWalker& walker)>;

// Every entry of one entry's tree, on its mount, links never followed.
class EachEntry : public TFTreeWalker::Sink {
public:
    EachEntry(Visit visit, const TFArchive::Control* control)
        : _visit(std::move(visit)), _control(control) {}
    bool entry(const TFTreeWalker::Folder& folder, const char* name, const Examination& ex,
               bool enterable) override {
        if (ex.error)
            return false;
        _visit(folder.dir, name, ex, *_walker);
        return ex.isDirectory() && enterable;
    }
    bool enterFolder(const TFTreeWalker::Folder&) override { return true; }
    void leaveFolder(const TFTreeWalker::Folder&, const TFDirectory*) override {}
    void readError(const TFTreeWalker::Folder*, const char*, int) override {}
    bool stopped() const override { return _control && _control->cancel.load(); }
    void setWalker(const TFTreeWalker* walker) { _walker = walker; }

private:
    const TFTreeWalker* _walker = nullptr;
    Visit _visit;
    const TFArchive::Control* _control;
};

void walk(const TFDirectory& parent, const std::string& name, Visit visit,
          const TFArchive::Control* control = nullptr) {
    EachEntry sink(std::move(visit), control);
    TFTreeWalker::Options options;
    options.stayOnMount = true;
    TFTreeWalker walker(sink, options);
    sink.setWalker(&walker);
    walker.walkEntry(parent, name.c_str());
}

std::string bytes(uint64_t n) {
    return TFString::abbreviatedStringForBytes(n);
}

std::string quoted(const std::string& name) {
    return "\u201c" + name + "\u201d";
}

// The regular files' disk usage and contents, and everything's disk usage.
struct Count {
    uint64_t usage = 0, fileUsage = 0, contents = 0, files = 0;
};
Count count(const TFDirectory& parent, const std::string& name, const TFArchive::Control* control) {
    Count c;
    walk(
        parent, name,
        [&](const TFDirectory&, const char*, const Examination& ex, const TFTreeWalker&) {
            c.usage += ex.allocatedBytes;
            if (ex.type == TFDirectory::EntryType::regular) {
                c.fileUsage += ex.allocatedBytes;
                c.contents += ex.apparentSize;
                ++c.files;
            }
        },
        control);
    return c;
}

// On btrfs: every file rewritten compressed, every file and folder marked.
void recompressInPlace(const TFDirectory& parent, const std::string& name, const std::string& path,
                       HLNCompression::Progress& progress, HLNCompression::Outcome& outcome) {
    TFArchive::Control& control = progress.control;
    // What it takes on disk, as the file system keeps it (administrator
    // only); otherwise the drive's free space tells what was saved.
    const bool onDisk = TFBtrfsCompression::canRead(parent.fd()) == 0;
    auto measure = [&]() -> uint64_t {
        if (!onDisk) {
            parent.syncFileSystem();
            return parent.availableBytes();
        }
        TFBtrfsCompression::Reading reading;
        TFBtrfsCompression::CountedExtents counted;
        walk(parent, name,
             [&](const TFDirectory& folder, const char* entry, const Examination& ex,
                 const TFTreeWalker&) {
                 if (ex.type != TFDirectory::EntryType::regular)
                     return;
                 const TFFile file = TFFile::openEntry(folder, entry, false);
                 if (file.isOpen())
                     TFBtrfsCompression::addFile(file.fd(), reading, counted);
             });
        return reading.onDisk;
    };
    const uint64_t before = measure();
    uint64_t files = 0;
    std::vector<std::string> problems;
    // Below the entry's parent, as the walk names it, with the slash to come.
    auto folderPath = [&](const std::string& below) {
        std::string folder = path.substr(0, path.size() - name.size());
        if (!below.empty())
            folder += below + "/";
        return folder;
    };
    walk(
        parent, name,
        [&](const TFDirectory& folder, const char* entry, const Examination& ex,
            const TFTreeWalker& walker) {
            if (ex.type != TFDirectory::EntryType::regular && !ex.isDirectory())
                return;
            const TFFile file = TFFile::openEntry(folder, entry, ex.isDirectory());
            int error = file.error();
            if (file.isOpen()) {
                if (ex.type == TFDirectory::EntryType::regular && ex.allocatedBytes > 0)
                    error = TFBtrfsCompression::recompress(file.fd());
                // A file kept from copy-on-write (nodatacow) cannot be
                // compressed: it stays as it is.
                const int marking = TFBtrfsCompression::markCompressed(file.fd());
                if (!error && marking != EINVAL)
                    error = marking;
            }
            if (error && problems.size() < 10)
                problems.push_back(folderPath(walker.path()) + entry + ": " + std::strerror(error));
            else if (!error && ex.type == TFDirectory::EntryType::regular)
                ++files;
            control.bytesDone.fetch_add(ex.allocatedBytes);
        },
        &control);
    parent.syncFileSystem(); // the new extents in place before they are measured
    const uint64_t after = measure();
    const uint64_t saved =
        onDisk ? (before > after ? before - after : 0) : (after > before ? after - before : 0);
    outcome.saved += saved;
    std::string sentence = path + ": recompressed " + std::to_string(files) +
                           (files == 1 ? " file" : " files") + " with zstd in place, ";
    sentence += onDisk ? bytes(before) + " on disk before, " + bytes(after) +
                             " after: " + bytes(saved) + " saved"
                       : "and the drive's free space grew by " + bytes(saved) +
                             " (as root the bytes on disk are told exactly)";
    outcome.done.push_back(sentence);
    for (const std::string& problem : problems)
        outcome.failures.push_back(problem);
    if (control.cancel.load())
        outcome.cancelled = true;
}

// Elsewhere: NAME.tar.zst beside the entry, checked, then the entry to the Trash.
void archiveAndTrash(const TFDirectory& parent, const std::string& name, const std::string& path,
                     uint64_t usage, HLNCompression::Progress& progress,
                     HLNCompression::Outcome& outcome) {
    TFArchive::Control& control = progress.control;
    TFPartialFile archive(parent, name + ".tar.zst");
    if (archive.fd() < 0) {
        outcome.failures.push_back(
            path + ": the archive cannot be made beside it: " + std::strerror(archive.error()));
        return;
    }
    auto abandon = [&](const std::string& why) {
        archive.discard();
        if (control.cancel.load())
            outcome.cancelled = true;
        else
            outcome.failures.push_back(path + ": " + why + "; it was left as it was");
    };
    std::vector<TFArchive::Member> members;
    TFArchive::Outcome written = TFArchive::write(parent, name, archive.fd(), members, &control);
    if (written.ok)
        if (const int error = archive.flush()) {
            written.ok = false;
            written.reason = std::string("the archive: ") + std::strerror(error);
        }
    if (!written.ok)
        return abandon("it could not be archived: " + written.reason);
    const TFArchive::Outcome checked = TFArchive::verify(parent, archive.fd(), members, &control);
    if (!checked.ok)
        return abandon("the archive does not hold it as it is: " + checked.reason);
    const uint64_t archiveUsage = archive.allocatedBytes();
    if (archiveUsage >= usage) {
        archive.discard();
        outcome.done.push_back(path + ": compressed it would take " + bytes(archiveUsage) +
                               ", no less than now: left as it is");
        return;
    }
    std::string final;
    int naming = EEXIST;
    for (int n = 1; naming == EEXIST && n < 1000; ++n) {
        final = name + (n == 1 ? "" : " " + std::to_string(n)) + ".tar.zst";
        naming = archive.giveName(final);
    }
    if (naming) {
        // With every name taken the archive would stay hidden: the entry
        // stays rather than go to the Trash.
        archive.discard();
        outcome.failures.push_back(path + ": the archive cannot be named: " +
                                   std::strerror(naming) + "; it was left as it was");
        return;
    }
    const TFTrash::Outcome trashed = TFTrash::moveToTrash(path);
    if (!trashed.moved) {
        // Two copies would take more room, not less: the archive goes.
        archive.discard();
        outcome.failures.push_back(path + ": it cannot be moved to the Trash (" + trashed.reason +
                                   "), so its archive was removed; it was left as it was");
        return;
    }
    outcome.saved += usage - archiveUsage;
    outcome.throughTrash = true;
    outcome.done.push_back(path + ": archived to " + quoted(final) + " (" + bytes(archiveUsage) +
                           ", checked), and moved to the Trash: emptying the Trash frees " +
                           bytes(usage) + ", " + bytes(usage - archiveUsage) + " more than " +
                           "the archive takes");
}

} // namespace

std::vector<HLNCompression::Item> HLNCompression::plan(const std::vector<std::string>& paths) {
    std::vector<Item> items;
    for (const std::string& given : paths) {
        Item item;
        // Absolute, with "." and ".." gone: the parent is where the archive goes.
        const TFPathArgument argument(given);
        item.path = argument.kernelPath();
        if (item.path.empty())
            item.path = given;
        while (item.path.size() > 1 && item.path.back() == '/')
            item.path.pop_back();
        std::string folder, name;
        TFDirectory::splitPath(item.path, folder, name);
        const TFDirectory parent = TFDirectory::openPath(folder);
        const Examination ex = parent.examine(name.c_str());
        const Examination above = parent.examine(".");
        if (ex.error) {
            item.refusal = std::strerror(ex.error);
        } else if (name == "/" || name == "." || name == "..") {
            item.refusal = "the root of the file system cannot be compressed";
        } else if (ex.isLink()) {
            item.refusal = "a link: there is nothing of it to compress";
        } else if (ex.type != TFDirectory::EntryType::regular && !ex.isDirectory()) {
            item.refusal = "not a file or a folder";
        } else if (ex.device != above.device ||
                   (ex.mountId && above.mountId && ex.mountId != above.mountId)) {
            item.refusal = "a volume is mounted there";
        } else {
            const TFFile entry = TFFile::openEntry(parent, name.c_str(), ex.isDirectory());
            item.inPlace = entry.isOpen() && TFBtrfsCompression::isBtrfs(entry.fd());
        }
        items.push_back(std::move(item));
    }
    return items;
}

std::optional<double> HLNCompression::estimatedRatio(const std::vector<Item>& items) {
    // A megabyte from each of the first files met, a few of them.
    constexpr size_t kEach = 1 << 20, kFiles = 8;
    constexpr uint64_t kLooked = 2000; // entries looked at, at most
    uint64_t original = 0, compressed = 0;
    size_t files = 0;
    std::vector<char> data(kEach);
    for (const Item& item : items) {
        if (!item.refusal.empty())
            continue;
        std::string folder, name;
        TFDirectory::splitPath(item.path, folder, name);
        const TFDirectory parent = TFDirectory::openPath(folder);
        TFArchive::Control enough;
        uint64_t looked = 0;
        walk(
            parent, name,
            [&](const TFDirectory& dir, const char* entry, const Examination& ex,
                const TFTreeWalker&) {
                if (++looked >= kLooked || files >= kFiles)
                    enough.cancel = true;
                if (ex.type != TFDirectory::EntryType::regular || ex.apparentSize == 0 ||
                    files >= kFiles)
                    return;
                const ssize_t n =
                    TFFile::openEntry(dir, entry, false).readSome(data.data(), data.size());
                if (n <= 0)
                    return;
                original += uint64_t(n);
                compressed += TFArchive::compressedSize(data.data(), size_t(n));
                ++files;
            },
            &enough);
    }
    if (original == 0)
        return std::nullopt;
    return std::min(1.0, double(compressed) / double(original));
}

HLNCompression::Outcome HLNCompression::run(const std::vector<Item>& items, Progress& progress) {
    Outcome outcome;
    struct Ready {
        const Item* item;
        std::string folder, name;
        Count count;
    };
    std::vector<Ready> ready;
    uint64_t total = 0;
    for (const Item& item : items) {
        if (!item.refusal.empty()) {
            outcome.failures.push_back(item.path + ": " + item.refusal);
            continue;
        }
        Ready r{&item, {}, {}, {}};
        TFDirectory::splitPath(item.path, r.folder, r.name);
        r.count = count(TFDirectory::openPath(r.folder), r.name, &progress.control);
        // Recompressing goes through each file's blocks once; an archive
        // reads the contents twice, to write and to check.
        total += item.inPlace ? r.count.fileUsage : 2 * r.count.contents;
        ready.push_back(std::move(r));
    }
    progress.total = total;
    for (const Ready& r : ready) {
        if (progress.control.cancel.load()) {
            outcome.cancelled = true;
            break;
        }
        const TFDirectory parent = TFDirectory::openPath(r.folder);
        if (!parent.isOpen()) {
            outcome.failures.push_back(r.item->path + ": " + std::strerror(parent.error()));
            continue;
        }
        if (r.item->inPlace)
            recompressInPlace(parent, r.name, r.item->path, progress, outcome);
        else
            archiveAndTrash(parent, r.name, r.item->path, r.count.usage, progress, outcome);
        outcome.changedFolders.push_back(r.folder);
    }
    return outcome;
}
