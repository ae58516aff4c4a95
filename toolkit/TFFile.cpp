#include "toolkit/TFFile.h"

#include <cerrno>
#include <fcntl.h>
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

ssize_t TFFile::readSome(char* buffer, size_t size) const {
    return ::read(_fd, buffer, size);
}
