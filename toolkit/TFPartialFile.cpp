#include "toolkit/TFPartialFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TFPartialFile::TFPartialFile(const TFDirectory& folder, const std::string& base) : _folder(folder) {
    for (int attempt = 0; _fd < 0 && attempt < 100; ++attempt) {
        _name = "." + base + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) +
                ".partial";
        _fd = ::openat(folder.fd(), _name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (_fd < 0 && errno != EEXIST)
            break;
    }
    if (_fd < 0) {
        _error = errno;
        _name.clear();
    }
}

TFPartialFile::~TFPartialFile() {
    if (!_named)
        discard();
    else if (_fd >= 0)
        ::close(_fd);
}

int TFPartialFile::flush() {
    return ::fsync(_fd) == 0 ? 0 : errno;
}

uint64_t TFPartialFile::allocatedBytes() const {
    struct stat st {};
    ::fstat(_fd, &st);
    return uint64_t(st.st_blocks) * 512;
}

int TFPartialFile::giveName(const std::string& name) {
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
    if (_named || _name.empty())
        return EINVAL;
    if (::renameat2(_folder.fd(), _name.c_str(), _folder.fd(), name.c_str(), RENAME_NOREPLACE) != 0)
        return errno;
    _name = name;
    _named = true;
    return 0;
}

void TFPartialFile::discard() {
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
    if (!_name.empty())
        ::unlinkat(_folder.fd(), _name.c_str(), 0);
    _name.clear();
}
