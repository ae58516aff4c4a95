#include "toolkit/TFString.h"

#include <cstdio>

namespace TFString {

std::string abbreviatedStringForBytes(uint64_t bytes) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    // Keep three significant figures at most; rounding 1023.96 up must not
    // print "1024.0 KB", so step up a unit when the rounded value reaches 1024.
    char buf[32];
    if (value < 99.95) {
        std::snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    } else if (value < 1023.5 || unit == 6) {
        std::snprintf(buf, sizeof buf, "%.0f %s", value, units[unit]);
    } else {
        std::snprintf(buf, sizeof buf, "1.0 %s", units[unit + 1]);
    }
    return buf;
}

std::string spacesOfLength(size_t count) { return std::string(count, ' '); }

std::string stringByRemovingPrefix(std::string_view text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) == prefix) text.remove_prefix(prefix.size());
    return std::string(text);
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 when invalid.
static size_t validSequenceLength(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

bool isValidUTF8(std::string_view data) {
    for (size_t i = 0; i < data.size();) {
        size_t n = validSequenceLength(data, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string stringWithDataUTF8(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (size_t i = 0; i < data.size();) {
        size_t n = validSequenceLength(data, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(data.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string stringWithCharacter(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

} // namespace TFString
