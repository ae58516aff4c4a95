#include "scans/HLNScanWriter.h"

#include "toolkit/TFDirectory.h"
#include "toolkit/TFOutputFile.h"
#include "toolkit/TFTreeWalker.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr uint64_t kProgressEvery = 4096;

void appendNumber(std::string& out, const char* key, uint64_t value) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, ",\"%s\":%llu", key,
                                static_cast<unsigned long long>(value));
    out.append(text, static_cast<size_t>(n));
}

} // namespace

// What the walk reports becomes the export as it comes: a folder's own
// record opens a list that its entries fill and its leaving closes.
class HLNScanWriter::Sink : public TFTreeWalker::Sink {
public:
    Sink(HLNScanWriter& writer, uint64_t topBytes) : bytes(topBytes), _w(writer) {}
    TFTreeWalker* walker = nullptr;
    uint64_t entries = 1, bytes;

    bool entry(const TFTreeWalker::Folder&, const char* name, const TFDirectory::Examination& ex,
               bool enterable) override {
        if (!ex.exists())
            return false; // gone since the listing
        std::string& out = _w._out;
        out += ",\n";
        ++entries;
        bool enter = false;
        if (ex.error) {
            _w._readError(below(name), ex.error);
            out += "{\"name\":";
            appendQuoted(out, name);
            out += ",\"read_error\":true}";
        } else if (ex.isDirectory() && !enterable) {
            // Another file system: named, not entered, as ncdu -x writes it.
            out += "[{\"name\":";
            appendQuoted(out, name);
            appendNumber(out, "dev", ex.device);
            out += ",\"excluded\":\"othfs\"}]";
        } else if (ex.isDirectory()) {
            out += '[';
            _w._appendInfo(name, ex);
            bytes += ex.allocatedBytes;
            enter = true;
        } else {
            _w._appendInfo(name, ex);
            out += '}';
            bytes += ex.allocatedBytes;
        }
        if (out.size() >= (1 << 16))
            _w._flush();
        if (_w._progress && entries >= _nextReport) {
            _nextReport = entries + kProgressEvery;
            _w._progress(entries, bytes, walker->path());
        }
        return enter;
    }
    bool enterFolder(const TFTreeWalker::Folder&) override {
        _w._out += '}';
        return true;
    }
    void leaveFolder(const TFTreeWalker::Folder&, const TFDirectory*) override { _w._out += ']'; }
    void readError(const TFTreeWalker::Folder*, const char* name, int error) override {
        if (name) {
            _w._readError(below(name), error);
            _w._out += ",\"read_error\":true}]";
        } else {
            std::fprintf(stderr,
                         "hollin: %s: moved while it was read; its other entries are left out\n",
                         walker->path().c_str());
        }
    }
    bool stopped() const override { return _w._writeError != 0; }

private:
    std::string below(const char* name) const {
        std::string path = walker->path();
        return path + (path.empty() || path.back() == '/' ? "" : "/") + name;
    }
    HLNScanWriter& _w;
    uint64_t _nextReport = kProgressEvery;
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
    if (!_writeError)
        _writeError = TFOutputFile::writeAll(_fd, _out.data(), _out.size());
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
    if (_extended && !ex.error) {
        appendNumber(_out, "uid", ex.owner);
        appendNumber(_out, "gid", ex.group);
        appendNumber(_out, "mode", ex.mode);
        // Before 1970 a time is negative; JSON takes the sign.
        _out += ",\"mtime\":";
        _out += std::to_string(ex.modified);
    }
}

void HLNScanWriter::_readError(const std::string& path, int error) {
    ++_readErrors;
    const std::string line = "hollin: " + path + ": " + std::strerror(error) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
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

    Sink sink(*this, top.allocatedBytes);
    TFTreeWalker walker(sink);
    sink.walker = &walker;
    int failure = 0;
    if (!walker.walkPath(root, top, &failure)) {
        _readError(root, failure);
        _out += ",\"read_error\":true}]";
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
