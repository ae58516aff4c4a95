#pragma once

#include "model/HLNFile.h"

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
// The reading hands each entry, in the file's order, to a sink (the tree
// builder, HLNScanTree, or a batch for another thread); whole reads give no
// tree at all for a scan that is truncated or malformed, never part of one:
// the error says what is wrong and at which byte.
class HLNScanReader {
public:
    struct Scan {
        Ref<HLNFile> root;       // named with the path that was scanned
        int64_t timestamp = 0;   // Unix seconds at export; 0 when not given
        std::string programName; // the metadata's progname, when given
    };

    // What one entry's object says; keys not listed here are skipped.
    struct Entry {
        std::string name;
        uint64_t at = 0; // its offset in the file, for errors
        uint64_t dsize = 0, asize = 0;
        int64_t mtime = HLNFile::kNoModification;
        uint64_t mode = 0;
        // A file of several names: its identity ("dev" is a folder's, and
        // holds for what is below it until another folder says otherwise).
        uint64_t dev = 0, ino = 0, nlink = 0;
        bool hasName = false, hasMode = false, excluded = false;
        bool hasDev = false, hasIno = false, hardLinked = false;
        // Whether it gave these: a scan that gives none lacks them.
        bool hasApparent = false, hasModification = false;
        void reset() { // keeps the name's room
            std::string kept = std::move(name);
            *this = Entry();
            name = std::move(kept);
            name.clear();
        }
    };
    // A damaged scan, where the reading or the building stopped.
    struct Failure {
        std::string what;
        uint64_t at;
        // "not a scan file: <what> at byte <N>"
        std::string message() const;
    };
    // Where the entries go, in the file's order: a folder's own entry, then
    // its entries (a folder among them opens and closes in turn), then its
    // close. Failures are thrown.
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void openFolder(Entry& folder) = 0;
        virtual void addEntry(Entry& entry) = 0;
        virtual void closeFolder(uint64_t at) = 0;
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
    // sink's openFolder) here, the rest later, on any one thread.
    class Parser;
    struct Reading {
        std::shared_ptr<Parser> parser; // owns the open file
        uint64_t fileBytes = 0;
    };
    // Null parser, with *error as readScanAtPath, when the head is damaged or
    // the file cannot be read.
    static Reading readHead(const std::string& path, Scan& scan, Sink& sink, std::string* error);
    // The rest, to the scan's closing bracket; throws Failure (std::bad_alloc
    // too).
    static void readRest(Parser& parser, Sink& sink);

private:
    static std::optional<Scan> _run(Parser& parser, std::string* error);
};
