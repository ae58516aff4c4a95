#include "toolkit/TFArchive.h"

#include "toolkit/TFTreeWalker.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kBlock = 256 * 1024;

struct ArchiveFree {
    void operator()(archive* a) const {
        if (a)
            archive_write_free(a);
    }
};
struct ReadFree {
    void operator()(archive* a) const {
        if (a)
            archive_read_free(a);
    }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

TFDirectory::EntryType typeOf(mode_t mode) {
    if (S_ISREG(mode))
        return TFDirectory::EntryType::regular;
    if (S_ISDIR(mode))
        return TFDirectory::EntryType::directory;
    if (S_ISLNK(mode))
        return TFDirectory::EntryType::link;
    return TFDirectory::EntryType::other;
}

std::string linkTarget(int folderFd, const char* name, int& error) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(folderFd, name, target.data(), target.size());
    if (n < 0) {
        error = errno;
        return {};
    }
    target.resize(static_cast<size_t>(n));
    return target;
}

TFArchive::Outcome failure(int error, const std::string& where, const std::string& why) {
    TFArchive::Outcome out;
    out.error = error;
    out.reason = "\u201c" + where + "\u201d: " + why;
    return out;
}

class Writer : public TFTreeWalker::Sink {
public:
    Writer(archive* a, std::vector<TFArchive::Member>& members, TFArchive::Control* control)
        : _archive(a), _members(members), _control(control), _buffer(new char[kBlock]) {}

    bool entry(const TFTreeWalker::Folder& folder, const char* name,
               const TFTreeWalker::Examination& ex, bool enterable) override {
        const std::string path = relative(name);
        if (ex.error)
            return fail(ex.error, path, std::strerror(ex.error));
        if (ex.isDirectory() && !enterable)
            return fail(EXDEV, path, "another volume is mounted there");
        struct stat st {};
        int fd = -1;
        if (ex.type == TFDirectory::EntryType::regular) {
            fd = ::openat(folder.dir.fd(), name,
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd < 0 || ::fstat(fd, &st) != 0) {
                const int error = errno;
                if (fd >= 0)
                    ::close(fd);
                return fail(error, path, std::strerror(error));
            }
        } else if (::fstatat(folder.dir.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return fail(errno, path, std::strerror(errno));
        }
        TFArchive::Member member{path, typeOf(st.st_mode), 0, {}};
        if (member.type == TFDirectory::EntryType::other)
            return fail(EINVAL, path, "not a file, a folder or a link: it cannot be archived");
        std::unique_ptr<archive_entry, EntryFree> header(archive_entry_new());
        archive_entry_copy_stat(header.get(), &st);
        archive_entry_copy_pathname(header.get(), path.c_str());
        if (member.type == TFDirectory::EntryType::link) {
            int error = 0;
            member.linkTarget = linkTarget(folder.dir.fd(), name, error);
            if (error)
                return fail(error, path, std::strerror(error));
            archive_entry_copy_symlink(header.get(), member.linkTarget.c_str());
        }
        if (member.type == TFDirectory::EntryType::regular)
            member.size = static_cast<uint64_t>(st.st_size);
        else
            archive_entry_set_size(header.get(), 0);
        const bool ok = archive_write_header(_archive, header.get()) >= ARCHIVE_WARN &&
                        (fd < 0 || copyContents(fd, member.size, path));
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            return _failed ? false : failArchive(path);
        _members.push_back(std::move(member));
        ++_outcome.files;
        return ex.isDirectory();
    }
    bool enterFolder(const TFTreeWalker::Folder&) override { return !_failed; }
    void leaveFolder(const TFTreeWalker::Folder&, const TFDirectory*) override {}
    void readError(const TFTreeWalker::Folder*, const char* name, int error) override {
        fail(error, name ? relative(name) : _walker->path(), std::strerror(error));
    }
    bool stopped() const override {
        return _failed || (_control && _control->cancel.load(std::memory_order_relaxed));
    }

    void setWalker(const TFTreeWalker* walker) { _walker = walker; }
    TFArchive::Outcome& outcome() { return _outcome; }
    bool failed() const { return _failed; }
    // The archive's own failure, after a write that did not go through.
    bool failArchive(const std::string& path) {
        const int error = archive_errno(_archive);
        const char* text = archive_error_string(_archive);
        return fail(error ? error : EIO, path,
                    error ? std::strerror(error) : (text ? text : "the archive failed"));
    }

private:
    std::string relative(const char* name) const {
        const std::string above = _walker->path();
        return above.empty() ? std::string(name) : above + "/" + name;
    }
    bool fail(int error, const std::string& path, const std::string& why) {
        if (!_failed)
            _outcome = failure(error, path, why);
        _failed = true;
        return false;
    }
    bool copyContents(int fd, uint64_t size, const std::string& path) {
        uint64_t done = 0;
        for (;;) {
            if (_control && _control->cancel.load(std::memory_order_relaxed))
                return fail(ECANCELED, path, "cancelled");
            const ssize_t n = ::read(fd, _buffer.get(), kBlock);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return fail(errno, path, std::strerror(errno));
            }
            if (n == 0)
                break;
            if (done + static_cast<uint64_t>(n) > size)
                return fail(EAGAIN, path, "it grew while it was being archived");
            if (archive_write_data(_archive, _buffer.get(), static_cast<size_t>(n)) != n)
                return failArchive(path);
            done += static_cast<uint64_t>(n);
            if (_control)
                _control->bytesDone.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        }
        if (done != size)
            return fail(EAGAIN, path, "it shrank while it was being archived");
        return true;
    }

    archive* _archive;
    std::vector<TFArchive::Member>& _members;
    TFArchive::Control* _control;
    std::unique_ptr<char[]> _buffer;
    const TFTreeWalker* _walker = nullptr;
    TFArchive::Outcome _outcome;
    bool _failed = false;
};

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Compares the rest of an open file with the archive's current entry.
bool sameContents(archive* a, int fd, uint64_t size, TFArchive::Control* control,
                  std::string& why) {
    std::unique_ptr<char[]> ours(new char[kBlock]), theirs(new char[kBlock]);
    uint64_t done = 0;
    for (;;) {
        if (control && control->cancel.load(std::memory_order_relaxed)) {
            why = "cancelled";
            return false;
        }
        const la_ssize_t n = archive_read_data(a, theirs.get(), kBlock);
        if (n < 0) {
            why = archive_error_string(a) ? archive_error_string(a) : "the archive cannot be read";
            return false;
        }
        size_t got = 0;
        while (got < static_cast<size_t>(n)) {
            const ssize_t r = ::read(fd, ours.get() + got, static_cast<size_t>(n) - got);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                why = r < 0 ? std::strerror(errno) : "the file is shorter than its copy";
                return false;
            }
            got += static_cast<size_t>(r);
        }
        if (std::memcmp(ours.get(), theirs.get(), got) != 0) {
            why = "its copy in the archive differs";
            return false;
        }
        done += got;
        if (control)
            control->bytesDone.fetch_add(got, std::memory_order_relaxed);
        if (n == 0)
            break;
    }
    char more;
    if (done != size || ::read(fd, &more, 1) != 0) {
        why = "its copy in the archive has another length";
        return false;
    }
    return true;
}

} // namespace

namespace TFArchive {

Outcome write(const TFDirectory& folder, const std::string& name, int archiveFd,
              std::vector<Member>& members, Control* control) {
    members.clear();
    std::unique_ptr<archive, ArchiveFree> a(archive_write_new());
    if (!a || archive_write_add_filter_zstd(a.get()) != ARCHIVE_OK ||
        archive_write_set_format_pax_restricted(a.get()) != ARCHIVE_OK ||
        archive_write_open_fd(a.get(), archiveFd) != ARCHIVE_OK)
        return failure(EIO, name,
                       a && archive_error_string(a.get()) ? archive_error_string(a.get())
                                                          : "no archive can be written");
    Writer writer(a.get(), members, control);
    TFTreeWalker::Options options;
    options.stayOnMount = true;
    options.sortedByBytes = true;
    TFTreeWalker walker(writer, options);
    writer.setWalker(&walker);
    walker.walkEntry(folder, name.c_str());
    if (!writer.failed() && control && control->cancel.load()) {
        Outcome out = failure(ECANCELED, name, "cancelled");
        out.cancelled = true;
        return out;
    }
    // Closing writes the last blocks: a full disk may show only here.
    if (!writer.failed() && archive_write_close(a.get()) != ARCHIVE_OK)
        writer.failArchive(name);
    Outcome out = writer.outcome();
    out.cancelled = out.error == ECANCELED;
    out.ok = !writer.failed();
    return out;
}

Outcome verify(const TFDirectory& folder, int archiveFd, const std::vector<Member>& members,
               Control* control) {
    if (::lseek(archiveFd, 0, SEEK_SET) != 0)
        return failure(errno, "the archive", std::strerror(errno));
    std::unique_ptr<archive, ReadFree> a(archive_read_new());
    archive_read_support_filter_zstd(a.get());
    archive_read_support_format_tar(a.get());
    if (archive_read_open_fd(a.get(), archiveFd, kBlock) != ARCHIVE_OK)
        return failure(EIO, "the archive",
                       archive_error_string(a.get()) ? archive_error_string(a.get())
                                                     : "it cannot be read");
    Outcome out;
    archive_entry* header = nullptr;
    size_t i = 0;
    for (;; ++i) {
        const int r = archive_read_next_header(a.get(), &header);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN)
            return failure(EIO, "the archive",
                           archive_error_string(a.get()) ? archive_error_string(a.get())
                                                         : "it cannot be read");
        if (i >= members.size())
            return failure(EIO, "the archive", "it holds more than was written");
        const Member& m = members[i];
        const char* stored = archive_entry_pathname(header);
        if (!stored || withoutTrailingSlash(stored) != m.path)
            return failure(EIO, m.path, "the archive names another entry in its place");
        const mode_t type = archive_entry_filetype(header);
        struct stat st {};
        if (::fstatat(folder.fd(), m.path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return failure(errno, m.path, std::strerror(errno));
        if (typeOf(type) != m.type || typeOf(st.st_mode) != m.type)
            return failure(EIO, m.path, "its kind differs in the archive");
        if (m.type == TFDirectory::EntryType::link) {
            int error = 0;
            const char* target = archive_entry_symlink(header);
            if (!target || target != m.linkTarget ||
                linkTarget(folder.fd(), m.path.c_str(), error) != m.linkTarget)
                return failure(EIO, m.path, "the link's target differs in the archive");
        } else if (m.type == TFDirectory::EntryType::regular) {
            if (static_cast<uint64_t>(archive_entry_size(header)) != m.size ||
                static_cast<uint64_t>(st.st_size) != m.size)
                return failure(EIO, m.path, "its size differs in the archive");
            const int fd = ::openat(folder.fd(), m.path.c_str(),
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd < 0)
                return failure(errno, m.path, std::strerror(errno));
            std::string why;
            const bool same = sameContents(a.get(), fd, m.size, control, why);
            ::close(fd);
            if (!same) {
                Outcome failed = failure(EIO, m.path, why);
                failed.cancelled = why == "cancelled";
                return failed;
            }
        }
        ++out.files;
    }
    if (i != members.size())
        return failure(EIO, "the archive", "it holds less than was written");
    out.ok = true;
    return out;
}

uint64_t compressedSize(const char* data, size_t size) {
    std::unique_ptr<archive, ArchiveFree> a(archive_write_new());
    std::vector<char> room(size + size / 8 + 64 * 1024);
    size_t used = 0;
    archive_write_add_filter_zstd(a.get());
    archive_write_set_format_raw(a.get());
    archive_write_set_bytes_per_block(a.get(), 0);
    if (archive_write_open_memory(a.get(), room.data(), room.size(), &used) != ARCHIVE_OK)
        return size;
    std::unique_ptr<archive_entry, EntryFree> header(archive_entry_new());
    archive_entry_set_filetype(header.get(), AE_IFREG);
    archive_entry_set_size(header.get(), static_cast<la_int64_t>(size));
    if (archive_write_header(a.get(), header.get()) != ARCHIVE_OK ||
        archive_write_data(a.get(), data, size) != static_cast<la_ssize_t>(size) ||
        archive_write_close(a.get()) != ARCHIVE_OK)
        return size;
    return used;
}

} // namespace TFArchive
