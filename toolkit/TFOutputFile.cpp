#include "toolkit/TFOutputFile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return "";
    return path.substr(0, slash + 1);
}

// The file path names once links in its last component are followed (the
// kernel's limit of 40 of them), the way a shell's ">" reaches it.
int followLinks(std::string& path, struct stat& st, bool& exists) {
    for (int hops = 0; hops <= 40; ++hops) {
        if (::lstat(path.c_str(), &st) != 0) {
            exists = false;
            return errno == ENOENT ? 0 : errno;
        }
        exists = true;
        if (!S_ISLNK(st.st_mode))
            return 0;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0)
            return errno;
        target.resize(static_cast<size_t>(n));
        path = target[0] == '/' ? target : folderOf(path) + target;
    }
    return ELOOP;
}

} // namespace

TFOutputFile::TFOutputFile(const std::string& path) : _path(path), _target(path) {
    if (isStandardOutput()) {
        _fd = STDOUT_FILENO;
        return;
    }
    struct stat st {};
    bool exists = false;
    if ((_error = followLinks(_target, st, exists)) != 0)
        return;
    if (exists && S_ISDIR(st.st_mode)) {
        _error = EISDIR;
        return;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A FIFO, a terminal, a device: what is written goes there as it is.
        _fd = ::open(_target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (_fd < 0)
            _error = errno;
        return;
    }
    // Beside the file, so that the rename stays on its file system; hidden,
    // and short enough to be a name wherever the file's is.
    static std::atomic<unsigned> made{0};
    const std::string folder = folderOf(_target);
    const std::string base = _target.substr(folder.size()).substr(0, 200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        _temporary = folder + "." + base + ".hollin-" + std::to_string(::getpid()) + "-" +
                     std::to_string(made++);
        _fd = ::open(_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (_fd >= 0 || errno != EEXIST)
            break;
    }
    if (_fd < 0) {
        _error = errno;
        _temporary.clear();
        return;
    }
    if (exists) {
        // The new file keeps the old one's owner (where allowed) and mode.
        // (An owner not ours to give away: the file becomes the writer's.)
        if (::fchown(_fd, st.st_uid, st.st_gid) != 0 || ::fchmod(_fd, st.st_mode & 07777) != 0) {
            ::fchmod(_fd, st.st_mode & 0777);
        }
    }
}

TFOutputFile::~TFOutputFile() {
    _discard();
}

int TFOutputFile::write(const char* bytes, size_t size) {
    if (_fd < 0)
        return _error ? _error : EBADF;
    return writeAll(_fd, bytes, size);
}

int TFOutputFile::writeAll(int fd, const char* bytes, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int TFOutputFile::commit() {
    if (_fd < 0)
        return _error ? _error : EBADF;
    if (isStandardOutput())
        return 0;
    int problem = 0;
    if (!_temporary.empty() && ::fsync(_fd) != 0)
        problem = errno;
    if (::close(_fd) != 0 && !problem)
        problem = errno;
    _fd = -1;
    if (!problem && !_temporary.empty()) {
        if (::rename(_temporary.c_str(), _target.c_str()) != 0)
            problem = errno;
        else
            _temporary.clear();
    }
    _discard();
    return problem;
}

void TFOutputFile::_discard() {
    if (_fd >= 0 && !isStandardOutput())
        ::close(_fd);
    _fd = -1;
    if (!_temporary.empty())
        ::unlink(_temporary.c_str());
    _temporary.clear();
}
