#pragma once

#include "browser/HLNTreemapLayout.h"
#include "model/HLNFileKind.h"
#include "model/HLNTreemapSnapshot.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

class QPainter;

// Draws a laid-out map: every tile cushion-shaded in the colour of its kind
// of file, folders still being sized hatched in the colour the cells use for
// sizes in progress, and a strip below with a caption and the legend. The
// window and the headless picture share this drawing. No widget: it paints
// into images and onto any painter (main thread: it uses fonts).
class HLNTreemapPainter {
public:
    using Kind = HLNFileKind::Kind;
    using enum HLNFileKind::Kind;

    // By the name's extension (case-insensitive); a file without a known
    // extension is Other.
    static uint8_t kindOfName(std::string_view name);
    static QColor colorOfKind(uint8_t kind);
    static QString nameOfKind(uint8_t kind);
    // The kind a tile is coloured by: a file's own (an executable file whose
    // name says nothing is a program), a folder's left-out files'.
    static uint8_t kindOfTile(const HLNTreemapSnapshot& snapshot,
                              const HLNTreemapLayout::Tile& tile);
    // The kind of an entry's own tile (a folder's: its left-out files').
    static uint8_t kindOfEntry(const HLNTreemapSnapshot& snapshot, uint32_t entry);

    // Height of the legend strip; no strip on pictures lower than three times it.
    static int legendHeight();
    // The part of a picture of that size the map itself fills.
    static QRect mapRectForSize(QSize size);
    // Per entry: a folder whose bytes are still being counted, or an entry
    // going (or inside one). Their tiles are drawn hatched: a busy folder's
    // own tile when nothing is drawn inside it, else the tile of its rest.
    static std::vector<bool> busyEntries(const HLNTreemapSnapshot& snapshot);

    // A colour per tile instead of its kind's (a map coloured by growth).
    using TileColors = std::function<QColor(const HLNTreemapLayout::Tile&)>;
    // The cushions of every tile, into an image the size of the map.
    static QImage paintCushions(const HLNTreemapSnapshot& snapshot, const HLNTreemapLayout& layout,
                                QSize size, const TileColors& colors = {});
    // Fades every tile but those that pass `lit` (by the tile), so that
    // what it picks out stands out.
    static void dimTiles(QImage& map, const HLNTreemapSnapshot& snapshot,
                         const HLNTreemapLayout& layout,
                         const std::function<bool(const HLNTreemapLayout::Tile&)>& lit);
    // The hatching, into a map paintCushions drew.
    static void paintHatching(QImage& map, const HLNTreemapSnapshot& snapshot,
                              const HLNTreemapLayout& layout);
    // Each tile's name where the tile is wide and tall enough for some of it
    // (shortened in the middle), dark on light tiles and light on dark ones.
    static void paintNames(QImage& map, const HLNTreemapSnapshot& snapshot,
                           const HLNTreemapLayout& layout, const TileColors& colors = {});
    // A selected entry's outline, visible on light and dark tiles.
    static void paintOutline(QPainter& painter, const HLNTreemapLayout::Rect& rect);
    // The legend names "sizing" only when the map shows something sizing.
    // swatches, when given, stand for the kinds.
    using Swatches = std::vector<std::pair<QColor, QString>>;
    static void paintLegend(QPainter& painter, const QRect& strip, const QString& caption,
                            bool sizing, const Swatches* swatches = nullptr);
    // Whether anything in the map is hatched (sizing, or going).
    static bool anythingBusy(const HLNTreemapSnapshot& snapshot);

    // The whole picture (map and strip), as the window draws it without a selection.
    static QImage picture(const HLNTreemapSnapshot& snapshot, const HLNTreemapLayout& layout,
                          QSize size, const QString& caption);
    // The caption for a map rooted at an entry: its path and size, and
    // "(sizing)" while in progress.
    static QString captionFor(const HLNTreemapSnapshot& snapshot);
};
