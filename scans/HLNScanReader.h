#pragma once

#include "model/HLNFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Reads a scan: a file in the ncdu JSON export format (major version 1, any
// minor), as ncdu, gdu, `hollin --export` and hand-made generators write it,
// into a tree of the model's own nodes, marked imported.
//
// The reader is ours, over bytes: names in a scan are the kernel's bytes,
// written as they are, and no JSON library accepts raw bytes that are not
// UTF-8 inside strings. It streams the file (no document tree) and keeps its
// nesting on the heap, so that only memory limits how deep a scan may go.
// Keys come in any order; keys it does not know are skipped.
//
// A scan that is truncated or malformed gives no tree at all, never part of
// one: the error says what is wrong and at which byte.
class HLNScanReader {
public:
    struct Scan {
        Ref<HLNFile> root;       // named with the path that was scanned
        int64_t timestamp = 0;   // Unix seconds at export; 0 when not given
        std::string programName; // the metadata's progname, when given
    };

    // Whether the file at path holds a scan, whole or damaged, judged by its
    // first bytes: '[' followed by a number or a space (after spaces and a
    // byte-order mark, which reading refuses), whatever its name.
    static bool looksLikeScan(const std::string& path);

    // The scan at path. On failure, none, and *error is either "not a scan
    // file: <what> at byte <N>" or the system's reason for not reading it.
    static std::optional<Scan> readScanAtPath(const std::string& path, std::string* error);
    // The same over bytes in memory.
    static std::optional<Scan> readScanFromBytes(std::string_view bytes, std::string* error);

    // Frees the scan's tree at once, on this thread (a window's tree is
    // released by invalidate instead, in the background).
    static void releaseScan(Scan& scan);

private:
    class Parser;
    static std::optional<Scan> _run(Parser& parser, std::string* error);
};
