#pragma once

#include "model/HLNFile.h"
#include "toolkit/TFTreeSink.h"

#include <cstdint>
#include <memory>
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
// The reading drives a TFTreeSink, the contract the disk's walker drives, in
// the file's order (the tree builder, HLNScanTree; a batch for another
// thread; the scan writer, to export the scan again). A folder's object is
// its entry() and enterFolder(); one marked excluded is not enterable, and
// one marked read_error that holds nothing is its readError() (EIO). A
// sink may throw Failure; the reading places it at the entry's byte.
// Whole reads give no tree at all for a scan that is truncated or
// malformed, never part of one: the error says what is wrong and where.
class HLNScanReader {
public:
    struct Scan {
        Ref<HLNFile> root;       // named with the path that was scanned
        int64_t timestamp = 0;   // Unix seconds at export; 0 when not given
        std::string programName; // the metadata's progname, when given
    };

    // A damaged scan, where the reading or the building stopped.
    struct Failure {
        std::string what;
        uint64_t at;
        // "not a scan file: <what> at byte <N>"
        std::string message() const;
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

    // A reading in two steps, for a window that shows the scan as it is
    // read: the head (metadata and the scanned folder's own entry, given to
    // sink's enterFolder) here, the rest later, on any one thread.
    class Parser;
    struct Reading {
        std::shared_ptr<Parser> parser; // owns the open file
        uint64_t fileBytes = 0;
    };
    // Null parser, with *error as readScanAtPath, when the head is damaged or
    // the file cannot be read.
    static Reading readHead(const std::string& path, Scan& scan, TFTreeSink& sink,
                            std::string* error);
    // The rest, to the scan's closing bracket, or until sink is stopped;
    // throws Failure (std::bad_alloc too).
    static void readRest(Parser& parser, TFTreeSink& sink);
    // The byte of the file where the entry being given to the sink starts
    // (for a sink that applies the entries later, to place its failures).
    static uint64_t entryOffset(const Parser& parser);

private:
    static std::optional<Scan> _run(Parser& parser, std::string* error);
};
