#pragma once

#include "toolkit/TFDirectory.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Writes a scan of the tree under a path, or of the tree a scan file holds,
// to a descriptor, in the ncdu JSON export format (major 1, minor 2), as the
// source goes: it is a TFTreeSink, which the tree walker (TFTreeWalker) and
// the scan reader drive alike, and what it holds is the open folders'
// names, never the tree, so memory stays flat however big the tree is.
// Links are never followed and other file systems are not entered (they
// are written as excluded, as `ncdu -x` does). Sizes are those Hollin
// counts: dsize is the allocated bytes, asize the apparent size. A scan
// written again, read back, gives the same file.
class HLNScanWriter {
public:
    // Called now and then with the entries and allocated bytes written so
    // far and the folder being read.
    using ProgressHandler =
        std::function<void(uint64_t entries, uint64_t bytes, const std::string& folder)>;

    explicit HLNScanWriter(int fd) : _fd(fd) {}
    void setProgressHandler(ProgressHandler handler) { _progress = std::move(handler); }
    // Each entry also gets its owner, group, mode and modification time.
    void setExtended(bool extended) { _extended = extended; }

    // Writes the whole scan. False, with the reason in *error ("PATH: why"
    // for the folder, "write: why" for the output), when it could not be
    // written in full.
    bool writeScanOfPath(const std::string& path, std::string* error);
    // The same for the tree that the scan at path holds, with its time:
    // what it lacks stays out, its read errors stay marked (and are not
    // said again, nor counted), its excluded entries stay excluded. False,
    // with "PATH: why" in *error, when it cannot be read whole.
    bool writeScanOfScan(const std::string& path, std::string* error);

    // The name as a JSON string, escaped as ncdu does: the quote, the
    // backslash, control bytes and DEL (ncdu refuses a raw one); every
    // other byte as it is.
    static void appendQuoted(std::string& out, std::string_view name);

    // Entries that could not be examined and folders that could not be
    // listed: each is marked in the scan and said on standard error as
    // "hollin: PATH: <reason>" as the walk meets it.
    uint64_t readErrors() const { return _readErrors; }

private:
    class Sink;
    void _appendInfo(const char* name, const TFDirectory::Examination& ex);
    // The top's record, open for its entries.
    void _appendTop(const std::string& name, const TFDirectory::Examination& ex);
    static std::string _header(int64_t timestamp);
    bool _finish(std::string* error);
    bool _extended = false;
    bool _flush();
    void _readError(const std::string& path, int error);

    int _fd;
    std::string _out;
    int _writeError = 0;
    uint64_t _readErrors = 0;
    ProgressHandler _progress;
};
