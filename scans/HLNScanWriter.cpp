#include "scans/HLNScanWriter.h"

#include "scans/HLNScanReader.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFOutputFile.h"
#include "toolkit/TFTreeWalker.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

namespace {

constexpr uint64_t kProgressEvery = 4096;

void appendNumber(std::string& out, const char* key, uint64_t value) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, ",\"%s\":%llu", key,
                                static_cast<unsigned long long>(value));
    out.append(text, static_cast<size_t>(n));
}

} // namespace

// What the source reports becomes the export as it comes: a folder's own
// record opens a list that its entries fill and its leaving closes. The
// disk and a scan give the same events, and so the same export.
class HLNScanWriter::Sink : public TFTreeSink {
public:
    explicit Sink(HLNScanWriter& writer, bool fromScan) : _w(writer), _fromScan(fromScan) {}
    uint64_t entries = 0, bytes = 0;

    bool entry(const Folder& folder, const char* name, const Examination& ex,
               bool enterable) override {
        if (!ex.exists())
            return false; // gone since the listing
        std::string& out = _w._out;
        out += ",\n";
        ++entries;
        bool enter = false;
        if (ex.isDirectory() && !enterable && (!ex.error || ex.error == kLeftOut)) {
            // Another file system: named, not entered, as ncdu -x writes it.
            out += "[{\"name\":";
            appendQuoted(out, name);
            appendNumber(out, "dev", ex.device);
            out += ",\"excluded\":\"othfs\"}]";
        } else if (ex.error == kLeftOut) {
            out += "{\"name\":";
            appendQuoted(out, name);
            out += ",\"excluded\":\"pattern\"}";
        } else if (ex.error) {
            if (!_fromScan) // a scan's were said where it was made
                _w._readError(below(name), ex.error);
            out += "{\"name\":";
            appendQuoted(out, name);
            out += ",\"read_error\":true}";
        } else if (ex.isDirectory()) {
            out += '[';
            _w._appendInfo(name, ex);
            // A scan may hold other file systems: what is below says which.
            if (ex.device != folder.examination.device)
                appendNumber(out, "dev", ex.device);
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
            _w._progress(entries, bytes, _path);
        }
        return enter;
    }
    bool enterFolder(const Folder& folder) override {
        _lengths.push_back(_path.size());
        if (folder.depth == 0) {
            ++entries;
            bytes += folder.examination.allocatedBytes;
            _w._appendTop(folder.name, folder.examination);
            _path = folder.name;
        } else {
            _path = below(folder.name.c_str());
        }
        _w._out += '}';
        return true;
    }
    void leaveFolder(const Folder&) override {
        _w._out += ']';
        _path.resize(_lengths.back());
        _lengths.pop_back();
    }
    void readError(const Folder*, const char* name, int error) override {
        if (name) {
            if (!_fromScan)
                _w._readError(below(name), error);
            _w._out += ",\"read_error\":true}]";
        } else {
            std::fprintf(stderr,
                         "hollin: %s: moved while it was read; its other entries are left out\n",
                         _path.c_str());
        }
    }
    bool stopped() const override { return _w._writeError != 0; }

private:
    std::string below(const char* name) const {
        return _path + (_path.empty() || _path.back() == '/' ? "" : "/") + name;
    }
    HLNScanWriter& _w;
    const bool _fromScan;
    // The folder being read, and where each one above it ends in it.
    std::string _path;
    std::vector<size_t> _lengths;
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
    // What a scan does not hold is left out, not made up.
    if (ex.apparentSize != TFTreeSink::kUnknownSize)
        appendNumber(_out, "asize", ex.apparentSize);
    appendNumber(_out, "dsize", ex.allocatedBytes);
    if (!ex.isDirectory()) {
        if (ex.linkCount > 1) {
            if (ex.inode)
                appendNumber(_out, "ino", ex.inode);
            appendNumber(_out, "nlink", ex.linkCount);
            _out += ",\"hlnkc\":true";
        }
        if (ex.type != TFDirectory::EntryType::regular)
            _out += ",\"notreg\":true";
    }
    if (_extended && !ex.error) {
        if (ex.mode) {
            appendNumber(_out, "uid", ex.owner);
            appendNumber(_out, "gid", ex.group);
            appendNumber(_out, "mode", ex.mode);
        }
        if (ex.modified != TFTreeSink::kUnknownTime) {
            // Before 1970 a time is negative; JSON takes the sign.
            _out += ",\"mtime\":";
            _out += std::to_string(ex.modified);
        }
    }
}

void HLNScanWriter::_appendTop(const std::string& name, const TFDirectory::Examination& ex) {
    _out += '[';
    _appendInfo(name.c_str(), ex);
    appendNumber(_out, "dev", ex.device);
}

std::string HLNScanWriter::_header(int64_t timestamp) {
    char header[160];
    std::snprintf(header, sizeof header,
                  "[1,2,{\"progname\":\"hollin\",\"progver\":\"%s\",\"timestamp\":%lld},\n",
                  HOLLIN_VERSION, static_cast<long long>(timestamp));
    return header;
}

bool HLNScanWriter::_finish(std::string* error) {
    _out += "]\n";
    _flush();
    if (_writeError) {
        if (error)
            *error = std::string("write: ") + std::strerror(_writeError);
        return false;
    }
    return true;
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
    _out += _header(std::time(nullptr));
    Sink sink(*this, false);
    TFTreeWalker walker(static_cast<TFTreeSink&>(sink));
    int failure = 0;
    if (!walker.walkPath(root, top, &failure)) {
        _readError(root, failure);
        _appendTop(root, top);
        _out += ",\"read_error\":true}]";
    }
    return _finish(error);
}

bool HLNScanWriter::writeScanOfScan(const std::string& path, std::string* error) {
    _out.reserve(1 << 17);
    Sink sink(*this, true);
    HLNScanReader::Scan head;
    std::string why;
    try {
        HLNScanReader::Reading reading = HLNScanReader::readHead(path, head, sink, &why);
        if (!reading.parser) {
            if (error)
                *error = path + ": " + why;
            return false;
        }
        // The time the tree was read, kept; nothing was written yet.
        _out.insert(0, _header(head.timestamp ? head.timestamp : std::time(nullptr)));
        HLNScanReader::readRest(*reading.parser, sink);
    } catch (const HLNScanReader::Failure& f) {
        if (error)
            *error = path + ": " + f.message();
        return false;
    } catch (const std::bad_alloc&) {
        if (error)
            *error = path + ": not enough memory to read the scan";
        return false;
    }
    return _finish(error);
}
