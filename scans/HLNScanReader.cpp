#include "scans/HLNScanReader.h"

#include "scans/HLNScanTree.h"
#include "toolkit/TFFile.h"
#include "toolkit/TFString.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr uint64_t maxBytes = uint64_t(std::numeric_limits<int64_t>::max());
constexpr uint64_t maxVersion = 10000;
// No file system keeps a name of more than 255 characters (most count 255
// bytes), and UTF-8 takes at most 4 bytes a character: a longer name is no
// file's, whichever machine the scan was made on.
constexpr size_t maxNameBytes = 255 * 4;
// The scanned path was given on a command line, and Linux takes no argument
// longer than MAX_ARG_STRLEN (32 pages, with its terminating NUL).
constexpr size_t maxRootBytes = 32 * 4096 - 1;

// A JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJSONNumber(std::string_view t) {
    size_t i = 0;
    auto digits = [&] {
        const size_t start = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9')
            ++i;
        return i > start;
    };
    if (i < t.size() && t[i] == '-')
        ++i;
    if (i < t.size() && t[i] == '0')
        ++i;
    else if (!digits())
        return false;
    if (i < t.size() && t[i] == '.' && (++i, !digits()))
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == t.size();
}

using Failure = HLNScanReader::Failure;
using Examination = TFDirectory::Examination;

// What one entry's object says; keys not listed here are skipped.
struct Info {
    std::string name;
    uint64_t at = 0; // its offset in the file, for errors
    uint64_t dsize = 0, asize = 0;
    int64_t mtime = 0;
    uint64_t mode = 0, uid = 0, gid = 0;
    // A file of several names: its identity ("dev" is a folder's, and
    // holds for what is below it until another folder says otherwise).
    uint64_t dev = 0, ino = 0, nlink = 0;
    bool hasName = false, hasMode = false, excluded = false, readError = false;
    bool hasDev = false, hasIno = false, hardLinked = false, notRegular = false;
    // Whether it gave these: a scan that gives none lacks them.
    bool hasApparent = false, hasModification = false;
    void reset() { // keeps the name's room
        std::string kept = std::move(name);
        *this = Info();
        name = std::move(kept);
        name.clear();
    }
};

// The entry in the figures the disk gives (TFTreeSink says what stands for
// what a scan lacks). device: the folder's above it.
Examination examinationOf(const Info& info, bool folder, uint64_t device) {
    Examination ex;
    ex.allocatedBytes = info.dsize;
    ex.apparentSize = info.hasApparent ? info.asize : TFTreeSink::kUnknownSize;
    ex.modified = info.hasModification ? info.mtime : TFTreeSink::kUnknownTime;
    if (info.hasMode && info.mode) {
        ex.mode = static_cast<uint32_t>(info.mode);
        ex.owner = static_cast<uint32_t>(info.uid), ex.group = static_cast<uint32_t>(info.gid);
    }
    ex.device = info.hasDev ? info.dev : device;
    ex.inode = info.hasIno ? info.ino : 0;
    const uint32_t nlink = static_cast<uint32_t>(info.nlink);
    ex.linkCount = info.hardLinked ? std::max<uint32_t>(nlink, 2) : std::max<uint32_t>(nlink, 1);
    using Type = TFDirectory::EntryType;
    if (folder)
        ex.type = Type::directory;
    else if (ex.mode) // an object is never a folder to enter, whatever its mode
        ex.type = S_ISLNK(ex.mode) ? Type::link : S_ISREG(ex.mode) ? Type::regular : Type::other;
    else
        ex.type = info.notRegular ? Type::other : Type::regular;
    if (info.excluded)
        ex.error = TFTreeSink::kLeftOut;
    else if (info.readError && !folder)
        ex.error = EIO;
    return ex;
}

} // namespace

// One pass over the bytes, refilled from a descriptor (or given whole),
// with the open folders on its own stack.
class HLNScanReader::Parser {
public:
    explicit Parser(std::string_view bytes)
        : _p(bytes.data()), _end(bytes.data() + bytes.size()), _origin(bytes.data()) {}
    explicit Parser(TFFile file) : _file(std::move(file)), _buffer(1 << 20) {
        _p = _end = _origin = _buffer.data();
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // To the scanned folder's own entry, entered in sink.
    void parseHead(HLNScanReader::Scan& scan, TFTreeSink& sink);
    // The rest, to the end of the input or until sink is stopped.
    void parseRest(TFTreeSink& sink);
    // Where the entry being given to the sink starts.
    uint64_t entryAt() const { return _at; }

private:
    [[noreturn]] void _fail(const char* what) { throw Failure{what, _offset()}; }
    [[noreturn]] void _fail(const char* what, uint64_t at) { throw Failure{what, at}; }
    uint64_t _offset() const { return _base + static_cast<uint64_t>(_p - _origin); }

    int _peek() {
        if (_p == _end && !_refill())
            return -1;
        return static_cast<unsigned char>(*_p);
    }
    bool _refill();
    void _skipSpace() {
        for (;;) {
            const int c = _peek();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                return;
            ++_p;
        }
    }
    void _expect(char c, const char* what) {
        _skipSpace();
        if (_peek() != static_cast<unsigned char>(c))
            _fail(_peek() < 0 ? "the scan ends early" : what);
        ++_p;
    }
    // A string of at most limit bytes; a longer one fails with tooLong at
    // its start, before the rest is read.
    void _readString(std::string& out, size_t limit = SIZE_MAX, const char* tooLong = nullptr);
    void _readHex(uint32_t& value);
    // A whole number no larger than limit.
    uint64_t _readWhole(uint64_t limit, const char* what);
    // Any JSON number, as a double (the metadata's timestamp may have a fraction).
    double _readAnyNumber();
    bool _readBool();
    void _readLiteral(const char* word);
    void _skipValue();
    void _readMetadata(HLNScanReader::Scan& scan);
    void _readInfo(Info& info, size_t nameLimit);
    void _openFolder(TFTreeSink& sink);
    void _addEntry(TFTreeSink& sink);
    void _closeFolder(TFTreeSink& sink);
    // The sink asked to stop: its open folders are left, innermost first.
    void _stop(TFTreeSink& sink);
    void _checkName(const Info& info, uint64_t at, bool isRoot) const;
    // A call to the sink about the entry at `at`: what it throws is placed there.
    template <class Call> auto _tell(uint64_t at, Call call) {
        _at = at;
        try {
            return call();
        } catch (Failure& f) {
            f.at = at;
            throw;
        }
    }
    // Whether the entries read now go to the sink: every folder open in the
    // file was entered, and the innermost wants its entries.
    bool _telling() const {
        return !_open.empty() && _open.size() == _depth && !_open.back().muted;
    }

    TFFile _file; // none when the bytes were given whole
    std::vector<char> _buffer;
    const char* _p;
    const char* _end;
    const char* _origin; // the first byte of the buffer
    uint64_t _base = 0;  // its offset in the input
    uint64_t _depth = 0; // folders open
    uint64_t _at = 0;
    // The folders open that the sink entered, outermost first.
    struct Open {
        TFTreeSink::Folder folder;
        bool muted = false; // the sink does not want its entries
    };
    std::vector<Open> _open;
    bool _stopped = false;
    Info _info;
    std::string _key;
    std::string _scratch;
    std::vector<char> _closers;
};

bool HLNScanReader::Parser::_refill() {
    if (!_file.isOpen())
        return false;
    _base += static_cast<uint64_t>(_p - _buffer.data());
    for (;;) {
        const ssize_t n = _file.readSome(_buffer.data(), _buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure{std::string("the file could not be read (") + std::strerror(errno) + ")",
                          _base};
        _p = _buffer.data();
        _end = _p + n;
        return n > 0;
    }
}

void HLNScanReader::Parser::_readHex(uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = _peek();
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            _fail(c < 0 ? "the scan ends early" : "a bad \\u escape");
        value = value * 16 + static_cast<uint32_t>(digit);
        ++_p;
    }
}

void HLNScanReader::Parser::_readString(std::string& out, size_t limit, const char* tooLong) {
    out.clear();
    if (_peek() != '"')
        _fail(_peek() < 0 ? "the scan ends early" : "expected a string");
    const uint64_t start = _offset();
    ++_p;
    for (;;) {
        if (out.size() > limit)
            _fail(tooLong, start);
        if (_p == _end && !_refill())
            _fail("the scan ends early");
        // Every byte but the quote, the backslash and control bytes stands
        // for itself, whether or not it is UTF-8.
        const char* run = _p;
        const char* stop = _end - run > 0 && size_t(_end - run) > limit - out.size()
                               ? run + (limit - out.size() + 1)
                               : _end;
        while (_p < stop) {
            const unsigned char c = static_cast<unsigned char>(*_p);
            if (c == '"' || c == '\\' || c < 0x20)
                break;
            ++_p;
        }
        out.append(run, static_cast<size_t>(_p - run));
        if (_p == _end || _p == stop)
            continue;
        const unsigned char c = static_cast<unsigned char>(*_p);
        if (c == '"') {
            ++_p;
            return;
        }
        if (c < 0x20)
            _fail("a control byte inside a string");
        ++_p; // the backslash
        const int e = _peek();
        if (e < 0)
            _fail("the scan ends early");
        ++_p;
        switch (e) {
        case '"':
        case '\\':
        case '/':
            out += static_cast<char>(e);
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            uint32_t code;
            _readHex(code);
            if (code >= 0xDC00 && code <= 0xDFFF)
                _fail("a bad \\u escape");
            if (code >= 0xD800 && code <= 0xDBFF) {
                if (_peek() != '\\')
                    _fail("a bad \\u escape");
                ++_p;
                if (_peek() != 'u')
                    _fail("a bad \\u escape");
                ++_p;
                uint32_t low;
                _readHex(low);
                if (low < 0xDC00 || low > 0xDFFF)
                    _fail("a bad \\u escape");
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            out += TFString::stringWithCharacter(code);
            break;
        }
        default:
            _fail("a bad escape in a string", _offset() - 1);
        }
    }
}

uint64_t HLNScanReader::Parser::_readWhole(uint64_t limit, const char* what) {
    const uint64_t at = _offset();
    int c = _peek();
    if (c == '-')
        _fail("a negative number");
    if (c < '0' || c > '9')
        _fail(c < 0 ? "the scan ends early" : what);
    uint64_t value = 0;
    while ((c = _peek()) >= '0' && c <= '9') {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (limit - digit) / 10)
            _fail("an absurdly large number", at);
        value = value * 10 + digit;
        ++_p;
        if (value == 0 && (c = _peek()) >= '0' && c <= '9')
            _fail("a number with a leading zero", at); // not JSON
    }
    if (c == '.' || c == 'e' || c == 'E')
        _fail("a number that is not whole");
    return value;
}

double HLNScanReader::Parser::_readAnyNumber() {
    _scratch.clear();
    for (int c = _peek();
         (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
         c = _peek()) {
        if (_scratch.size() > 64)
            _fail("an absurdly long number");
        _scratch += static_cast<char>(c);
        ++_p;
    }
    if (!isJSONNumber(_scratch))
        _fail(_peek() < 0 && _scratch.empty() ? "the scan ends early" : "a malformed number");
    char* stop = nullptr;
    const double value = std::strtod(_scratch.c_str(), &stop);
    return value;
}

void HLNScanReader::Parser::_readLiteral(const char* word) {
    for (const char* w = word; *w; ++w) {
        const int c = _peek();
        if (c != static_cast<unsigned char>(*w))
            _fail(c < 0 ? "the scan ends early" : "expected a value");
        ++_p;
    }
}

bool HLNScanReader::Parser::_readBool() {
    const int c = _peek();
    if (c == 't') {
        _readLiteral("true");
        return true;
    }
    if (c == 'f') {
        _readLiteral("false");
        return false;
    }
    _fail(c < 0 ? "the scan ends early" : "expected true or false");
}

void HLNScanReader::Parser::_skipValue() {
    // Iterative, with the brackets still open on a heap stack.
    _closers.clear();
    for (;;) {
        _skipSpace();
        const int c = _peek();
        switch (c) {
        case '{':
            ++_p;
            _skipSpace();
            if (_peek() == '}') {
                ++_p;
                break;
            }
            _closers.push_back('}');
            _readString(_key);
            _expect(':', "expected ':'");
            continue;
        case '[':
            ++_p;
            _skipSpace();
            if (_peek() == ']') {
                ++_p;
                break;
            }
            _closers.push_back(']');
            continue;
        case '"':
            _readString(_scratch);
            break;
        case 't':
            _readLiteral("true");
            break;
        case 'f':
            _readLiteral("false");
            break;
        case 'n':
            _readLiteral("null");
            break;
        default:
            if (c == '-' || (c >= '0' && c <= '9'))
                _readAnyNumber();
            else
                _fail(c < 0 ? "the scan ends early" : "expected a value");
        }
        // After a value: close what ends here, or go on to the next element.
        for (;;) {
            if (_closers.empty())
                return;
            _skipSpace();
            const int next = _peek();
            if (next == _closers.back()) {
                ++_p;
                _closers.pop_back();
                continue;
            }
            if (next != ',')
                _fail(next < 0 ? "the scan ends early" : "expected ',' or a closing bracket");
            ++_p;
            if (_closers.back() == '}') {
                _skipSpace();
                _readString(_key);
                _expect(':', "expected ':'");
            }
            break;
        }
    }
}

void HLNScanReader::Parser::_readMetadata(HLNScanReader::Scan& scan) {
    _skipSpace();
    if (_peek() != '{')
        _fail(_peek() < 0 ? "the scan ends early" : "no metadata object");
    ++_p;
    _skipSpace();
    if (_peek() == '}') {
        ++_p;
        return;
    }
    for (;;) {
        _skipSpace();
        _readString(_key);
        _expect(':', "expected ':'");
        _skipSpace();
        if (_key == "timestamp" && (_peek() == '-' || (_peek() >= '0' && _peek() <= '9'))) {
            const double t = _readAnyNumber();
            scan.timestamp = t > 0 && t < 1e15 ? static_cast<int64_t>(t) : 0;
        } else if (_key == "progname" && _peek() == '"') {
            _readString(scan.programName);
        } else {
            _skipValue();
        }
        _skipSpace();
        const int c = _peek();
        ++_p;
        if (c == '}')
            return;
        if (c != ',') {
            --_p;
            _fail(c < 0 ? "the scan ends early" : "expected ',' or '}'");
        }
    }
}

void HLNScanReader::Parser::_readInfo(Info& info, size_t nameLimit) {
    info.reset();
    info.at = _offset();
    ++_p; // the '{'
    _skipSpace();
    if (_peek() == '}') {
        ++_p;
        return;
    }
    for (;;) {
        _skipSpace();
        _readString(_key);
        _expect(':', "expected ':'");
        _skipSpace();
        const std::string& k = _key;
        if (k == "name") {
            if (_peek() != '"')
                _fail(_peek() < 0 ? "the scan ends early" : "a name that is not a string");
            _readString(info.name, nameLimit, "a name longer than any file system allows");
            info.hasName = true;
        } else if (k == "dsize") {
            info.dsize = _readWhole(maxBytes, "a size that is not a number");
        } else if (k == "dev") {
            info.dev = _readWhole(UINT64_MAX, "a device that is not a number");
            info.hasDev = true;
        } else if (k == "ino") {
            info.ino = _readWhole(UINT64_MAX, "an inode that is not a number");
            info.hasIno = true;
        } else if (k == "nlink") {
            info.nlink = _readWhole(UINT32_MAX, "a link count that is not a number");
            info.hardLinked |= info.nlink > 1;
        } else if (k == "hlnkc") {
            info.hardLinked |= _readBool();
        } else if (k == "asize") {
            info.asize = _readWhole(maxBytes, "a size that is not a number");
            info.hasApparent = true;
        } else if (k == "mtime") {
            // Unix seconds; a negative time (before 1970) is one too.
            const bool negative = _peek() == '-' && (++_p, true);
            const uint64_t t = _readWhole(uint64_t(INT64_MAX), "a time that is not a number");
            info.mtime = negative ? -int64_t(t) : int64_t(t);
            info.hasModification = true;
        } else if (k == "mode") {
            info.mode =
                _readWhole(std::numeric_limits<uint32_t>::max(), "a mode that is not a number");
            info.hasMode = true;
        } else if ((k == "uid" || k == "gid") && (_peek() == '-' || std::isdigit(_peek()))) {
            // Kept when it can be one; any other number is skipped as before.
            const double id = _readAnyNumber();
            const bool fits = id >= 0 && id <= double(UINT32_MAX) && id == std::floor(id);
            (k == "uid" ? info.uid : info.gid) = fits ? static_cast<uint64_t>(id) : 0;
        } else if (k == "read_error" && (_peek() == 't' || _peek() == 'f')) {
            info.readError = _readBool();
        } else if (k == "notreg" && (_peek() == 't' || _peek() == 'f')) {
            info.notRegular = _readBool();
        } else if (k == "excluded") {
            if (_peek() == '"') {
                _readString(_scratch);
                info.excluded = true;
            } else {
                info.excluded = _readBool();
            }
        } else {
            _skipValue();
        }
        _skipSpace();
        const int c = _peek();
        if (c == '}') {
            ++_p;
            return;
        }
        if (c != ',')
            _fail(c < 0 ? "the scan ends early" : "expected ',' or '}' in an entry");
        ++_p;
    }
}

void HLNScanReader::Parser::_checkName(const Info& info, uint64_t at, bool isRoot) const {
    if (!info.hasName || info.name.empty())
        throw Failure{"an entry without a name", at};
    const std::string& n = info.name;
    if (n.find('\0') != std::string::npos ||
        (!isRoot && (n.find('/') != std::string::npos || n == "." || n == "..")))
        throw Failure{"a name no file can have", at};
    if (isRoot)
        for (size_t start = 0, end; start < n.size(); start = end + 1) {
            end = std::min(n.find('/', start), n.size());
            if (end - start > maxNameBytes)
                throw Failure{"a name longer than any file system allows", at};
        }
}

void HLNScanReader::Parser::_openFolder(TFTreeSink& sink) {
    // The '[' has been read; the folder's own object must come first.
    _skipSpace();
    const uint64_t at = _offset();
    if (_peek() != '{')
        _fail(_peek() < 0 ? "the scan ends early" : "a folder without its object");
    const bool isRoot = _depth == 0;
    _readInfo(_info, isRoot ? maxRootBytes : maxNameBytes);
    _checkName(_info, at, isRoot);
    if (isRoot)
        while (_info.name.size() > 1 && _info.name.back() == '/')
            _info.name.pop_back();
    const bool telling = isRoot || _telling();
    ++_depth;
    if (!telling)
        return; // inside a folder the sink did not enter
    Open open;
    open.folder.examination =
        examinationOf(_info, true, isRoot ? 0 : _open.back().folder.examination.device);
    if (!isRoot) {
        if (sink.stopped())
            return _stop(sink);
        const bool enterable = !_info.excluded;
        if (!_tell(at,
                   [&] {
                       return sink.entry(_open.back().folder, _info.name.c_str(),
                                         open.folder.examination, enterable);
                   }) ||
            !enterable)
            return;
        _skipSpace();
        if (_info.readError && _peek() == ']') {
            // Not read where it was scanned, as the disk tells one.
            _tell(at, [&] { sink.readError(&_open.back().folder, _info.name.c_str(), EIO); });
            return;
        }
        open.folder.depth = _open.back().folder.depth + 1;
    }
    open.folder.name = _info.name;
    _open.push_back(std::move(open));
    Open& entered = _open.back();
    entered.muted = !_tell(at, [&] { return sink.enterFolder(entered.folder); });
}

void HLNScanReader::Parser::_closeFolder(TFTreeSink& sink) {
    // The ']' has been read.
    if (_open.size() == _depth) {
        _tell(_offset(), [&] { sink.leaveFolder(_open.back().folder); });
        _open.pop_back();
    }
    --_depth;
}

void HLNScanReader::Parser::_stop(TFTreeSink& sink) {
    while (!_open.empty()) {
        _tell(_offset(), [&] { sink.leaveFolder(_open.back().folder); });
        _open.pop_back();
    }
    _stopped = true;
}

void HLNScanReader::Parser::_addEntry(TFTreeSink& sink) {
    const uint64_t at = _offset();
    _readInfo(_info, maxNameBytes);
    _checkName(_info, at, false);
    if (!_telling())
        return;
    if (sink.stopped())
        return _stop(sink);
    const Examination ex = examinationOf(_info, false, _open.back().folder.examination.device);
    _tell(at, [&] { return sink.entry(_open.back().folder, _info.name.c_str(), ex, false); });
}

void HLNScanReader::Parser::parseHead(HLNScanReader::Scan& scan, TFTreeSink& sink) {
    if (_peek() == 0xEF) {
        ++_p;
        const bool mark = _peek() == 0xBB && (++_p, _peek() == 0xBF);
        _fail(mark ? "a byte-order mark before the array" : "not a JSON array", 0);
    }
    _skipSpace();
    if (_peek() != '[')
        _fail(_peek() < 0 ? "an empty file" : "not a JSON array");
    ++_p;
    _skipSpace();
    const uint64_t majorAt = _offset();
    const uint64_t major = _readWhole(maxVersion, "no version number");
    if (major != 1)
        _fail("a major version other than 1", majorAt);
    _expect(',', "expected ','");
    _skipSpace();
    _readWhole(maxVersion, "no minor version number"); // every minor version is read alike
    _expect(',', "expected ','");
    _readMetadata(scan);
    _expect(',', "expected ','");
    _skipSpace();
    if (_peek() != '[')
        _fail(_peek() < 0 ? "the scan ends early" : "no folder tree");
    ++_p;
    _openFolder(sink);
}

void HLNScanReader::Parser::parseRest(TFTreeSink& sink) {
    while (_depth > 0) {
        _skipSpace();
        const int c = _peek();
        if (c == ']') {
            ++_p;
            _closeFolder(sink);
            continue;
        }
        if (c != ',')
            _fail(c < 0 ? "the scan ends early" : "expected ',' or ']'");
        ++_p;
        _skipSpace();
        const int entry = _peek();
        if (entry == '{') {
            _addEntry(sink);
        } else if (entry == '[') {
            ++_p;
            _openFolder(sink);
        } else {
            _fail(entry < 0 ? "the scan ends early" : "expected an entry");
        }
        if (_stopped)
            return; // the rest is not read
    }
    _expect(']', "expected the scan's closing ']'");
    _skipSpace();
    if (_peek() >= 0)
        _fail("data after the scan");
}

// ---------------------------------------------------------------- HLNScanReader

std::string HLNScanReader::Failure::message() const {
    return "not a scan file: " + what + " at byte " + std::to_string(at);
}

std::optional<HLNScanReader::Scan> HLNScanReader::_run(Parser& parser, std::string* error) {
    try {
        HLNScanTree tree;
        Scan scan;
        parser.parseHead(scan, tree);
        parser.parseRest(tree);
        scan.root = tree.finish();
        return scan;
    } catch (const Failure& f) {
        if (error)
            *error = f.message();
    } catch (const std::bad_alloc&) {
        if (error)
            *error = "not enough memory to read the scan";
    }
    return std::nullopt;
}

bool HLNScanReader::looksLikeScan(const std::string& path) {
    const TFFile file = TFFile::openContents(path, true);
    if (!file.isOpen())
        return false;
    char head[512];
    ssize_t n = 0;
    if (file.facts().regular)
        n = file.readSome(head, sizeof head);
    ssize_t i = 0;
    auto space = [&] {
        while (i < n && (head[i] == ' ' || head[i] == '\t' || head[i] == '\n' || head[i] == '\r'))
            ++i;
    };
    if (n >= 3 && std::memcmp(head, "\xEF\xBB\xBF", 3) == 0)
        i = 3; // a byte-order mark: a damaged scan, refused as one
    space();
    if (i >= n || head[i] != '[')
        return false;
    ++i;
    // '[' and then a number or a space: a scan, whole or damaged (its
    // reading says which), never a plain file to be sized.
    return i < n && ((head[i] >= '0' && head[i] <= '9') || head[i] == '-' || head[i] == ' ' ||
                     head[i] == '\t' || head[i] == '\n' || head[i] == '\r');
}

namespace {
// The file at path open for reading, or none with *problem the reason.
TFFile openScanFile(const std::string& path, int* problem, uint64_t* bytes) {
    TFFile file = TFFile::openContents(path);
    const TFFile::Facts facts = file.isOpen() ? file.facts() : TFFile::Facts{};
    *problem = !file.isOpen() ? file.error()
               : facts.error  ? facts.error
               : facts.folder ? EISDIR
                              : 0;
    if (*problem)
        return TFFile();
    *bytes = facts.bytes;
    return file;
}
} // namespace

std::optional<HLNScanReader::Scan> HLNScanReader::readScanAtPath(const std::string& path,
                                                                 std::string* error) {
    int problem;
    uint64_t bytes;
    TFFile file = openScanFile(path, &problem, &bytes);
    if (!file.isOpen()) {
        if (error)
            *error = std::strerror(problem);
        return std::nullopt;
    }
    Parser parser(std::move(file));
    return _run(parser, error);
}

HLNScanReader::Reading HLNScanReader::readHead(const std::string& path, Scan& scan,
                                               TFTreeSink& sink, std::string* error) {
    Reading reading;
    int problem;
    TFFile file = openScanFile(path, &problem, &reading.fileBytes);
    if (!file.isOpen()) {
        if (error)
            *error = std::strerror(problem);
        return reading;
    }
    auto parser = std::make_shared<Parser>(std::move(file));
    try {
        parser->parseHead(scan, sink);
        reading.parser = std::move(parser);
    } catch (const Failure& f) {
        if (error)
            *error = f.message();
    } catch (const std::bad_alloc&) {
        if (error)
            *error = "not enough memory to read the scan";
    }
    return reading;
}

void HLNScanReader::readRest(Parser& parser, TFTreeSink& sink) {
    parser.parseRest(sink);
}

uint64_t HLNScanReader::entryOffset(const Parser& parser) {
    return parser.entryAt();
}

std::optional<HLNScanReader::Scan> HLNScanReader::readScanFromBytes(std::string_view bytes,
                                                                    std::string* error) {
    Parser parser(bytes);
    return _run(parser, error);
}

void HLNScanReader::releaseScan(Scan& scan) {
    if (scan.root)
        scan.root->releaseNow();
    scan.root = nullptr;
}
