#include "toolkit/TFString.h"

#include <QChar>
#include <QString>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace TFString {

std::string abbreviatedStringForBytes(uint64_t bytes) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
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

std::string spacesOfLength(size_t count) {
    return std::string(count, ' ');
}

std::string stringByRemovingPrefix(std::string_view text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) == prefix)
        text.remove_prefix(prefix.size());
    return std::string(text);
}

// Length of the well-formed UTF-8 sequence starting at s[i] (1 to 4), with
// its code point in *decoded; 0 when the byte starts none.
static size_t validSequenceLength(std::string_view s, size_t i, char32_t* decoded = nullptr) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        if (decoded)
            *decoded = c;
        return 1;
    }
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
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    if (decoded)
        *decoded = cp;
    return n;
}

bool isValidUTF8(std::string_view data) {
    for (size_t i = 0; i < data.size();) {
        size_t n = validSequenceLength(data, i);
        if (n == 0)
            return false;
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

// The character at s[i], case-folded, stepping i past it; a byte that
// starts no well-formed sequence answers a value above every code point, so
// such bytes sort after all characters, by byte value.
static char32_t foldedCharacterAt(std::string_view s, size_t& i) {
    char32_t cp;
    if (size_t n = validSequenceLength(s, i, &cp)) {
        i += n;
        return QChar::toCaseFolded(cp);
    }
    return char32_t(0x110000) + static_cast<unsigned char>(s[i++]);
}

int compareNames(std::string_view a, std::string_view b) {
    // Names in one folder often share a long start: equal bytes are skipped
    // eight at a time, back to the start of a character.
    const size_t shorter = std::min(a.size(), b.size());
    size_t equal = 0;
    for (uint64_t x, y; equal + 8 <= shorter; equal += 8) {
        std::memcpy(&x, a.data() + equal, 8);
        std::memcpy(&y, b.data() + equal, 8);
        if (x != y)
            break;
    }
    auto continues = [](std::string_view s, size_t at) {
        return at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80;
    };
    while (equal > 0 && (continues(a, equal) || continues(b, equal)))
        --equal;
    size_t i = equal, j = equal;
    while (i < a.size() && j < b.size()) {
        unsigned char ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
        if (ca < 0x80 && cb < 0x80) { // the common case: plain ASCII
            if (ca >= 'A' && ca <= 'Z')
                ca += 32;
            if (cb >= 'A' && cb <= 'Z')
                cb += 32;
            if (ca != cb)
                return ca < cb ? -1 : 1;
            ++i, ++j;
            continue;
        }
        char32_t fa = foldedCharacterAt(a, i), fb = foldedCharacterAt(b, j);
        if (fa != fb)
            return fa < fb ? -1 : 1;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

int compareNamesThenBytes(std::string_view a, std::string_view b) {
    if (const int folded = compareNames(a, b))
        return folded;
    const int bytes = a.compare(b);
    return bytes < 0 ? -1 : bytes > 0 ? 1 : 0;
}

uint64_t nameSortKey(std::string_view name) {
    uint64_t key = 0;
    const size_t count = std::min<size_t>(name.size(), 8);
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80)
            return 0;
        if (c >= 'A' && c <= 'Z')
            c += 32;
        key |= uint64_t(c) << (56 - 8 * i);
    }
    return key;
}

// Decodes the well-formed runs of a name and hands every other byte to
// invalid(out, byte).
template <class Invalid> static QString decodedName(std::string_view bytes, Invalid invalid) {
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    size_t p = 0, runStart = 0;
    while (p < bytes.size()) {
        if (size_t n = validSequenceLength(bytes, p)) {
            p += n;
            continue;
        }
        out += QString::fromUtf8(bytes.data() + runStart, static_cast<qsizetype>(p - runStart));
        invalid(out, static_cast<unsigned char>(bytes[p]));
        runStart = ++p;
    }
    out += QString::fromUtf8(bytes.data() + runStart, static_cast<qsizetype>(p - runStart));
    return out;
}

QString stringForName(std::string_view bytes) {
    return decodedName(bytes, [](QString& out, unsigned char b) {
        out += QChar(static_cast<char16_t>(0xDC00 + b));
    });
}

std::string nameForString(const QString& text) {
    std::string out;
    qsizetype runStart = 0;
    auto flushRun = [&](qsizetype end) { out += text.mid(runStart, end - runStart).toStdString(); };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        const bool pairEnd = i > 0 && text[i - 1].isHighSurrogate();
        if (unit >= 0xDC80 && unit <= 0xDCFF && !pairEnd) {
            flushRun(i);
            out += static_cast<char>(unit - 0xDC00);
            runStart = i + 1;
        }
    }
    flushRun(text.size());
    return out;
}

QString displayStringForName(std::string_view bytes) {
    return decodedName(bytes, [](QString& out, unsigned char b) {
        out +=
            QStringLiteral("\\x") + QString::number(b, 16).rightJustified(2, QChar('0')).toUpper();
    });
}

std::string escapedStringForName(std::string_view bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    auto escape = [&](unsigned char b) {
        out += "\\x";
        out += hex[b >> 4];
        out += hex[b & 15];
    };
    for (size_t i = 0; i < bytes.size();) {
        char32_t c;
        const size_t n = validSequenceLength(bytes, i, &c);
        if (n == 0 || c < 0x20 || c == 0x7F || c == 0xFFFE || c == 0xFFFF) {
            for (size_t k = 0; k < std::max<size_t>(n, 1); ++k)
                escape(static_cast<unsigned char>(bytes[i + k]));
            i += std::max<size_t>(n, 1);
            continue;
        }
        if (c == '\\')
            out += '\\';
        out.append(bytes.substr(i, n));
        i += n;
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
