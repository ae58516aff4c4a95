#include "toolkit/gui/TFColor.h"

#include "toolkit/TFPreference.h"

#include <cctype>
#include <cstdio>

namespace TFColor {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
} // namespace

QColor colorForString(const std::string& raw) {
    std::string text = raw;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.erase(0, 1);
    if (text.empty() || text[0] != '#')
        return QColor();
    std::string digits = text.substr(1);
    for (char c : digits)
        if (hexDigit(c) < 0)
            return QColor();
    auto byteAt = [&](size_t i) { return hexDigit(digits[i]) * 16 + hexDigit(digits[i + 1]); };
    switch (digits.size()) {
    case 3:
        return QColor(hexDigit(digits[0]) * 17, hexDigit(digits[1]) * 17, hexDigit(digits[2]) * 17);
    case 6:
        return QColor(byteAt(0), byteAt(2), byteAt(4));
    case 8:
        return QColor(byteAt(0), byteAt(2), byteAt(4), byteAt(6));
    }
    return QColor();
}

std::string stringForColor(const QColor& color) {
    if (!color.isValid())
        return std::string();
    QColor c = color.toRgb();
    char buf[16];
    if (c.alpha() == 255)
        std::snprintf(buf, sizeof buf, "#%02x%02x%02x", c.red(), c.green(), c.blue());
    else
        std::snprintf(buf, sizeof buf, "#%02x%02x%02x%02x", c.red(), c.green(), c.blue(),
                      c.alpha());
    return buf;
}

QColor colorForKey(const std::string& key) {
    TFPreference preference = TFPreference::preferenceForKey(key);
    if (!preference.exists())
        return QColor();
    return colorForString(preference.stringValue());
}

void setColorForKey(const QColor& color, const std::string& key) {
    TFPreference::setString(key, stringForColor(color));
}

void registerDefaultColors() {
    // A blue for small files warming to an orange for huge ones; both have
    // enough contrast against white and against a near-black background.
    TFPreference::registerDefaults(
        {{"HLNSmallFileColor", "#3d85c6"}, {"HLNLargeFileColor", "#e0601b"}});
}

} // namespace TFColor
