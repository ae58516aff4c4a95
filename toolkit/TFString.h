#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view data);

// A one-character string, UTF-8 encoded.
std::string stringWithCharacter(char32_t character);

} // namespace TFString
