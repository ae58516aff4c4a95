#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class QString;

// String helpers shared by every layer. Strings are UTF-8 (or, for file
// names, raw bytes as the kernel gives them).
namespace TFString {

// A short human-readable size with one decimal below 100 and binary units:
// "0 B", "512 B", "4.0 KB", "12.3 MB", "150 GB", "1.2 TB".
std::string abbreviatedStringForBytes(uint64_t bytes);

// A string of count spaces.
std::string spacesOfLength(size_t count);

// The text without the prefix, if it starts with it; otherwise unchanged.
std::string stringByRemovingPrefix(std::string_view text, std::string_view prefix);

// Decodes UTF-8 data; invalid sequences become U+FFFD, so the result is
// always valid UTF-8 and no line is lost.
std::string stringWithDataUTF8(std::string_view data);

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool isValidUTF8(std::string_view data);

// File names are bytes as the kernel gives them, used unchanged for every
// disk access; these are the only ways they become text, and back.

// Orders two names as people read them, without a locale: characters after
// Unicode case folding, then bytes that are not UTF-8 after every character,
// by byte value. Answers -1, 0 or 1.
int compareNames(std::string_view a, std::string_view b);
// compareNames, then bytes where it finds two names alike ("README" and
// "readme"): a total order, so that every list of names sorts the same way
// whatever order it started in. 0 only for the same bytes.
int compareNamesThenBytes(std::string_view a, std::string_view b);
// A whole number that orders names as compareNames does wherever two keys
// differ and neither is 0: the first eight bytes, ASCII letters lowered, in
// reading order (shorter names padded with zeros). 0 when one of them is
// not ASCII. Sorting compares keys first and names only on a tie.
uint64_t nameSortKey(std::string_view name);
// A name as text that keeps every name apart: well-formed UTF-8 decoded,
// every other byte kept as the lone surrogate U+DC00 + byte.
QString stringForName(std::string_view bytes);
// The bytes of a name given as text: the inverse of stringForName (UTF-8,
// with each lone U+DC80..U+DCFF back to its byte).
std::string nameForString(const QString& text);
// A name for people to read: well-formed UTF-8 decoded, every other byte
// shown as \xNN (upper-case hex).
QString displayStringForName(std::string_view bytes);

// A name as one line of text that no two names share, for files other
// programs read (the treemap's SVG): well-formed UTF-8 kept, a backslash
// written "\\", and every other byte written \xNN (upper-case hex): bytes
// that are not UTF-8, control characters, DEL and the two non-characters
// U+FFFE and U+FFFF, which XML cannot hold.
std::string escapedStringForName(std::string_view bytes);

// A one-character string, UTF-8 encoded.
std::string stringWithCharacter(char32_t character);

} // namespace TFString
