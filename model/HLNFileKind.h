#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What kind of file a name says it is, by its extension (case-insensitive):
// the treemap's colours and the space-by-kind figures share this reading.
// Any thread.
class HLNFileKind {
public:
    enum Kind : uint8_t { Other, Video, Audio, Image, Archive, Document, Code, Program, KindCount };

    // A name without a known extension is Other; a shared library with its
    // version after the extension (libfoo.so.6.1) is a Program.
    static uint8_t kindOfName(std::string_view name);
    // A file's kind: its name's, or a Program for an executable file whose
    // name says nothing (the name first: every file on some mounts has its
    // execute bits set).
    static uint8_t kindOfFile(std::string_view name, bool isExecutable);
    // One word each ("video", "program", "other"), for the command line.
    static const char* keywordOfKind(uint8_t kind);
    // KindCount when the word names no kind.
    static uint8_t kindOfKeyword(std::string_view word);
    // The extension a name is counted under, lower-case, without its dot;
    // empty for a name that has none (a leading dot starts no extension,
    // and one of more than nine characters is none).
    static std::string extensionOfName(std::string_view name);
};
