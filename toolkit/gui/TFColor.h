#pragma once

#include <QColor>
#include <string>

// Colours kept in the user defaults as "#rrggbb" or "#rrggbbaa" text.
namespace TFColor {

// The colour stored (or registered as default) under the key; an invalid
// QColor when there is none or the text is not a colour.
QColor colorForKey(const std::string& key);
void setColorForKey(const QColor& color, const std::string& key);

// "#rrggbb" for an opaque colour, "#rrggbbaa" otherwise.
std::string stringForColor(const QColor& color);
// Parses "#rgb", "#rrggbb" or "#rrggbbaa" (alpha last); invalid otherwise.
QColor colorForString(const std::string& text);

// Registers the defaults of the two ends of the size colour scale,
// "HLNSmallFileColor" and "HLNLargeFileColor". Both are mid-tone colours so
// that every blend between them reads on light and on dark backgrounds.
void registerDefaultColors();

} // namespace TFColor
