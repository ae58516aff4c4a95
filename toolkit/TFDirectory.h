#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// An open directory descriptor (RAII) and every call Hollin makes on folders
// and files: opening relative to a descriptor, listing, examining one entry,
// reading a whole file and removing a tree. Names are raw bytes; nothing
// here decodes them. Every call that could follow a symbolic link by
// accident is made with O_NOFOLLOW or AT_SYMLINK_NOFOLLOW; the few that
// follow links on purpose say so in their names.
class TFDirectory {
public:
    enum class EntryType : uint8_t { other, regular, directory, link };

    struct Entry {
        std::string name;
        EntryType type;
    };

    // One entry as statx reports it. On failure error is the errno and
    // the figures are 0; ENOENT and ENOTDIR mean the entry is not there.
    struct Examination {
        // The 32-bit fields together: the read-ahead keeps one per entry.
        int16_t error = 0; // an errno
        EntryType type = EntryType::other;
        uint32_t mode = 0;                // st_mode: type and permission bits
        uint32_t owner = 0, group = 0;    // st_uid, st_gid
        uint32_t linkCount = 0;           // st_nlink (statx gives 32 bits)
        uint32_t modifiedNanoseconds = 0; // of modified
        uint64_t allocatedBytes = 0;      // st_blocks * 512
        uint64_t apparentSize = 0;        // st_size
        uint64_t device = 0;
        uint64_t inode = 0;
        uint64_t mountId = 0; // 0 when the kernel does not say
        int64_t modified = 0; // st_mtime, Unix seconds
        bool exists() const;
        bool isDirectory() const { return type == EntryType::directory; }
        bool isLink() const { return type == EntryType::link; }
    };

    TFDirectory() = default;
    explicit TFDirectory(int fd) : _fd(fd) {}
    TFDirectory(TFDirectory&& o) noexcept : _fd(o._fd), _error(o._error) { o._fd = -1; }
    TFDirectory& operator=(TFDirectory&& o) noexcept;
    TFDirectory(const TFDirectory&) = delete;
    TFDirectory& operator=(const TFDirectory&) = delete;
    ~TFDirectory();

    // Opens a folder given by path. Paths longer than the system limit are
    // opened one component at a time. The last component is never followed
    // when it is a symbolic link. On failure fd() is -1 and error() the errno.
    static TFDirectory openPath(const std::string& path);
    // The same, following a link in the last component too: for folders a
    // setting names (the receipts and package list folders may be links).
    static TFDirectory openPathFollowingLinks(const std::string& path);
    // Opens the folder `name` inside this one, never following a link.
    TFDirectory openChild(const char* name) const;

    // A folder that did not open, with why.
    static TFDirectory failed(int error);
    // Another descriptor of the same open folder (its own reading position).
    TFDirectory duplicate() const;

    bool isOpen() const { return _fd >= 0; }
    // Back to the first entry, for listing a folder again.
    void rewind() const;
    int fd() const { return _fd; }
    int error() const { return _error; }

    // Appends every entry name but "." and "..", each NUL-terminated, to
    // bytes, and its start to offsets; false when the listing failed, or
    // once more than limit names have been read. The compact form, for
    // folders of any size. folders, when given, counts the names the
    // listing types as folders. endsShort (from listingsEndShort) saves
    // the last read, the one that finds nothing more.
    bool readNames(std::vector<char>& bytes, std::vector<uint32_t>& offsets,
                   size_t limit = SIZE_MAX, size_t* folders = nullptr,
                   bool endsShort = false) const;
    // Whether a listing read that leaves room in the buffer is known to be
    // this folder's last, for every folder on its file system. One system
    // call; given the folder's mount id and device (from its examination),
    // a thread asks once a mount.
    bool listingsEndShort(uint64_t mountId = 0, uint64_t device = 0) const;
    // Appends every entry but "." and ".." with its type, in the file
    // system's order (an entry whose type the listing does not give is
    // examined); false when the listing failed.
    bool readEntries(std::vector<Entry>& entries) const;

    // The entry `name` inside this folder, never following a link. On a
    // folder that did not open, the error of the opening.
    Examination examine(const char* name) const;
    // The same, following a link to what it names.
    Examination examineFollowingLink(const char* name) const;
    // The entry at path, the last component never followed; paths longer
    // than the system limit are examined inside their opened folder.
    static Examination examinePath(const std::string& path);
    // What the descriptor fd (of any kind, O_PATH too) is open on.
    static Examination examineDescriptor(int fd);

    // Reads the whole file at path (links along it followed, as open does)
    // into out, or its first `most` bytes; answers 0 or the errno. A FIFO
    // or a device with nothing to give answers EAGAIN rather than waiting.
    // Paths longer than the system limit are opened inside their folder.
    static int readWholeFile(const std::string& path, std::string& out, size_t most = SIZE_MAX);
    // The path with every link along it resolved (realpath); none when a
    // component is missing.
    static std::optional<std::string> resolvedPathFollowingLinks(const std::string& path);

    // Splits a path into its folder and last component for fstatat; "/" and
    // paths without a slash are handled. Trailing slashes are kept on the
    // last component so that they mean what they mean to lstat.
    static void splitPath(const std::string& path, std::string& folder, std::string& last);

    // Removes `name` inside this folder and everything below it. Never
    // follows a link, never enters another mount (mount id from statx, or
    // st_dev where the kernel has none), goes on after errors. Answers true
    // when everything was removed; the first error is left in *firstError.
    bool removeTree(const char* name, int* firstError = nullptr) const;
    // Removes the entry at path (the last component is never followed).
    static bool removePath(const std::string& path, int* firstError = nullptr);
    // Removes the file, or the empty folder, at path (as remove() does); 0
    // or the errno.
    static int removeFileAtPath(const std::string& path);
    // Renames the entry at from to to, replacing what is there (rename());
    // 0 or the errno.
    static int renamePath(const std::string& from, const std::string& to);
    // Makes the folder at path and every missing folder above it; 0 or the
    // errno (a folder already there is none).
    static int makeFolders(const std::string& path);

    enum class Access { exists, read, write, execute };
    // Whether this process may use path so (access(), links followed): 0
    // or the errno.
    static int accessPath(const std::string& path, Access how);
    // The entry at path with every link along it followed (stat()).
    static Examination examinePathFollowingLinks(const std::string& path);

    // The bytes an ordinary user may still write on this folder's file
    // system (f_bavail); 0 when it cannot be asked.
    uint64_t availableBytes() const;
    // Writes what this folder's file system holds in memory to its disk
    // (syncfs), so that its figures are settled.
    void syncFileSystem() const;

    // Grows the process's table of descriptors to hold count of them (up
    // to the limit), as many as walks keep folders open. For the start of
    // a program, before any thread: a table grown in a process with
    // threads first waits for an RCU grace period, tens of milliseconds on
    // a virtual machine, and so does the thread that opened a folder.
    static void reserveDescriptors(int count = 1024);

private:
    static TFDirectory _open(const std::string& path, bool followLast);
    Examination _examine(const char* name, int flags) const;

    int _fd = -1;
    int _error = 0;
};
