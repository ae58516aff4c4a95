#include "toolkit/TFFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
} // namespace

TFFile& TFFile::operator=(TFFile&& o) noexcept {
    if (this != &o) {
        if (_fd >= 0)
            ::close(_fd);
        _fd = o._fd;
        _error = o._error;
        o._fd = -1;
    }
    return *this;
}

TFFile::~TFFile() {
    if (_fd >= 0)
        ::close(_fd);
}

TFFile TFFile::_opened(int fd) {
    TFFile file;
    file._fd = fd;
    file._error = fd < 0 ? errno : 0;
    return file;
}

TFFile TFFile::openPath(const std::string& path) {
    return _opened(::open(path.c_str(), kFlags));
}

TFFile TFFile::openEntry(const TFDirectory& folder, const char* name, bool directory) {
    return _opened(::openat(folder.fd(), name, kFlags | (directory ? O_DIRECTORY : 0)));
}

TFFile TFFile::openReference(const std::string& path) {
    return _opened(::open(path.c_str(), O_PATH | O_CLOEXEC));
}

TFFile TFFile::openContents(const std::string& path, bool waitless) {
    return _opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | (waitless ? O_NONBLOCK : 0)));
}

TFFile::Facts TFFile::facts() const {
    Facts facts;
    struct stat st;
    if (::fstat(_fd, &st) != 0) {
        facts.error = errno;
        return facts;
    }
    facts.regular = S_ISREG(st.st_mode);
    facts.folder = S_ISDIR(st.st_mode);
    facts.bytes = static_cast<uint64_t>(st.st_size);
    return facts;
}

ssize_t TFFile::readSome(char* buffer, size_t size) const {
    return ::read(_fd, buffer, size);
}
