#include "support/TempTree.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

TempTree::TempTree() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/hollin-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    _path = buf.data();
}

TempTree::~TempTree() {
    // Make every folder writable again in case a test took rights away, and
    // remove the tree with rm: nftw stops at paths longer than PATH_MAX, and
    // left the deep chains behind. Never into a mount a test left.
    std::string cmd = "chmod -R u+rwx '" + _path + "' 2>/dev/null; rm -rf --one-file-system -- '" +
                      _path + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
    }
}

std::string TempTree::mkdir(const std::string& relative) const {
    std::string full = _path;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos)
            slash = relative.size();
        full += "/" + relative.substr(start, slash - start);
        if (::mkdir(full.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + full + ": " + std::strerror(errno));
        start = slash + 1;
    }
    return full;
}

std::string TempTree::writeFile(const std::string& relative, size_t bytes) const {
    std::string full = _path + "/" + relative;
    int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw std::runtime_error("open " + full + ": " + std::strerror(errno));
    std::vector<char> chunk(65536, 'x');
    while (bytes > 0) {
        size_t n = bytes < chunk.size() ? bytes : chunk.size();
        if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) {
            ::close(fd);
            throw std::runtime_error("write " + full);
        }
        bytes -= n;
    }
    ::fsync(fd);
    ::close(fd);
    return full;
}

std::string TempTree::symlink(const std::string& target, const std::string& relative) const {
    std::string full = _path + "/" + relative;
    if (::symlink(target.c_str(), full.c_str()) != 0)
        throw std::runtime_error("symlink " + full + ": " + std::strerror(errno));
    return full;
}

struct stat TempTree::lstatOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        throw std::runtime_error("lstat " + path);
    return st;
}

unsigned long long TempTree::duBytes(const std::string& path) {
    std::string cmd = "du -sx -B1 -- '" + path + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        throw std::runtime_error("popen du");
    unsigned long long bytes = 0;
    if (std::fscanf(p, "%llu", &bytes) != 1)
        bytes = ~0ULL;
    ::pclose(p);
    return bytes;
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}
