#include "scans/HLNScanWriter.h"

#include "toolkit/TFDirectory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Only the folders nearest the walk keep their descriptors: a chain of
// folders deeper than the descriptor limit is still written whole.
constexpr size_t kOpenLevels = 64;
constexpr uint64_t kProgressEvery = 4096;

void appendNumber(std::string& out, const char* key, uint64_t value) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, ",\"%s\":%llu", key,
                                static_cast<unsigned long long>(value));
    out.append(text, static_cast<size_t>(n));
}

} // namespace

struct HLNScanWriter::Frame {
    TFDirectory dir; // closed when the walk is more than kOpenLevels deeper
    std::string name;
    uint64_t device = 0;
    uint64_t inode = 0;
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;
    size_t next = 0;
};

void HLNScanWriter::appendQuoted(std::string& out, std::string_view name) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : name) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7f && c != '"' && c != '\\') {
            out += c;
            continue;
        }
        out += '\\';
        switch (c) {
        case '"':
        case '\\':
            out += c;
            break;
        case '\n':
            out += 'n';
            break;
        case '\r':
            out += 'r';
            break;
        case '\t':
            out += 't';
            break;
        case '\b':
            out += 'b';
            break;
        case '\f':
            out += 'f';
            break;
        default:
            out += "u00";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    out += '"';
}

bool HLNScanWriter::_flush() {
    size_t done = 0;
    while (done < _out.size() && !_writeError) {
        const ssize_t n = ::write(_fd, _out.data() + done, _out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            _writeError = errno;
        else
            done += static_cast<size_t>(n);
    }
    _out.clear();
    return !_writeError;
}

void HLNScanWriter::_appendInfo(const char* name, const TFDirectory::Examination& ex) {
    _out += "{\"name\":";
    appendQuoted(_out, name);
    appendNumber(_out, "asize", ex.apparentSize);
    appendNumber(_out, "dsize", ex.allocatedBytes);
    if (!ex.isDirectory()) {
        if (ex.linkCount > 1) {
            appendNumber(_out, "ino", ex.inode);
            appendNumber(_out, "nlink", ex.linkCount);
            _out += ",\"hlnkc\":true";
        }
        if (ex.type != TFDirectory::EntryType::regular)
            _out += ",\"notreg\":true";
    }
}

void HLNScanWriter::_readError(const std::string& path, int error) {
    ++_readErrors;
    const std::string line = "hollin: " + path + ": " + std::strerror(error) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

bool HLNScanWriter::_reopen(std::vector<Frame>& frames) {
    // From the nearest folder still open, each one checked to be the folder
    // that was listed (it may have been moved meanwhile).
    size_t open = frames.size() - 1;
    while (!frames[open].dir.isOpen())
        --open; // the root's descriptor is never closed
    for (size_t d = open + 1; d < frames.size(); ++d) {
        TFDirectory dir = frames[d - 1].dir.openChild(frames[d].name.c_str());
        struct stat st;
        if (!dir.isOpen() || ::fstat(dir.fd(), &st) != 0 || st.st_ino != frames[d].inode ||
            static_cast<uint64_t>(st.st_dev) != frames[d].device)
            return false;
        frames[d].dir = std::move(dir);
        if (d > kOpenLevels)
            frames[d - kOpenLevels].dir = TFDirectory();
    }
    return true;
}

std::string HLNScanWriter::_pathOf(const std::vector<Frame>& frames, const char* below) {
    std::string path;
    for (const Frame& f : frames) {
        if (!path.empty() && path.back() != '/')
            path += '/';
        path += f.name;
    }
    if (below)
        path += (path.empty() || path.back() == '/' ? "" : "/") + std::string(below);
    return path;
}

bool HLNScanWriter::writeScanOfPath(const std::string& given, std::string* error) {
    std::string root = given;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    const TFDirectory::Examination top = TFDirectory::examinePath(root);
    const int problem = top.error ? top.error : !top.isDirectory() ? ENOTDIR : 0;
    if (problem) {
        if (error)
            *error = root + ": " + std::strerror(problem);
        return false;
    }

    _out.reserve(1 << 17);
    char header[160];
    std::snprintf(header, sizeof header,
                  "[1,2,{\"progname\":\"hollin\",\"progver\":\"%s\",\"timestamp\":%lld},\n[",
                  HOLLIN_VERSION, static_cast<long long>(std::time(nullptr)));
    _out += header;
    _appendInfo(root.c_str(), top);
    appendNumber(_out, "dev", top.device);

    std::vector<Frame> frames;
    uint64_t entries = 1, bytes = top.allocatedBytes, nextReport = kProgressEvery;
    // Opens a folder just written, lists it and closes its object: a folder
    // that cannot be read is marked and ends at once.
    auto enter = [&](TFDirectory dir, const char* name, const TFDirectory::Examination& ex) {
        Frame frame;
        errno = 0;
        if (dir.isOpen() && dir.readNames(frame.bytes, frame.offsets, SIZE_MAX, nullptr,
                                          dir.listingsEndShort(ex.mountId, ex.device))) {
            _out += '}';
            frame.dir = std::move(dir);
            frame.name = name;
            frame.device = ex.device;
            frame.inode = ex.inode;
            frames.push_back(std::move(frame));
            if (frames.size() > kOpenLevels + 1)
                frames[frames.size() - 1 - kOpenLevels].dir = TFDirectory();
        } else {
            const int why = dir.isOpen() ? (errno ? errno : EIO) : dir.error();
            _readError(frames.empty() ? root : _pathOf(frames, name), why);
            _out += ",\"read_error\":true}]";
        }
    };
    enter(TFDirectory::openPath(root), root.c_str(), top);

    while (!frames.empty() && !_writeError) {
        Frame& f = frames.back();
        if (f.next == f.offsets.size()) {
            _out += ']';
            frames.pop_back();
            continue;
        }
        const char* name = f.bytes.data() + f.offsets[f.next++];
        if (!f.dir.isOpen() && !_reopen(frames)) {
            std::fprintf(stderr,
                         "hollin: %s: moved while it was read; its other entries are left out\n",
                         _pathOf(frames).c_str());
            f.next = f.offsets.size();
            continue;
        }
        const TFDirectory::Examination ex = f.dir.examine(name);
        if (!ex.exists())
            continue; // gone since the listing
        _out += ",\n";
        ++entries;
        if (ex.error) {
            _readError(_pathOf(frames, name), ex.error);
            _out += "{\"name\":";
            appendQuoted(_out, name);
            _out += ",\"read_error\":true}";
        } else if (ex.isDirectory() && ex.device != f.device) {
            // Another file system: named, not entered, as ncdu -x writes it.
            _out += "[{\"name\":";
            appendQuoted(_out, name);
            appendNumber(_out, "dev", ex.device);
            _out += ",\"excluded\":\"othfs\"}]";
        } else if (ex.isDirectory()) {
            _out += '[';
            _appendInfo(name, ex);
            bytes += ex.allocatedBytes;
            TFDirectory child = f.dir.openChild(name);
            if (!child.isOpen() && (child.error() == EMFILE || child.error() == ENFILE)) {
                // Out of descriptors: let go of every folder but the root and this one.
                for (size_t d = 1; d + 1 < frames.size(); ++d)
                    frames[d].dir = TFDirectory();
                child = f.dir.openChild(name);
            }
            enter(std::move(child), name, ex); // may move the frames: f is not used after
        } else {
            _appendInfo(name, ex);
            _out += '}';
            bytes += ex.allocatedBytes;
        }
        if (_out.size() >= (1 << 16))
            _flush();
        if (_progress && entries >= nextReport) {
            nextReport = entries + kProgressEvery;
            _progress(entries, bytes, _pathOf(frames));
        }
    }
    _out += "]\n";
    _flush();
    if (_writeError) {
        if (error)
            *error = std::string("write: ") + std::strerror(_writeError);
        return false;
    }
    return true;
}
