#pragma once

#include "model/HLNTreemapSnapshot.h"

#include <cstdint>
#include <vector>

// The squarified treemap of a snapshot (Bruls, Huizing and van Wijk): each
// folder's rectangle is divided among its entries in proportion to their
// bytes, largest first, in rows laid along the shorter side and grown while
// that does not worsen the row's worst aspect ratio. The bytes of a folder
// that no kept entry accounts for (its own blocks, entries too small to show)
// get a rectangle of their own, "the rest", placed in order of its size.
// Also works out the cushion of every rectangle (van Wijk and van de
// Wetering): each level adds a parabolic ridge in x and in y.
// No widget and no lock: it reads only the snapshot.
class HLNTreemapLayout {
public:
    struct Rect {
        double x = 0, y = 0, w = 0, h = 0;
        double area() const { return w * h; }
        bool contains(double px, double py) const {
            return px >= x && px < x + w && py >= y && py < y + h;
        }
    };
    // The cushion surface over a rectangle: z = s2x x^2 + s1x x + s2y y^2 + s1y y.
    struct Cushion {
        double s1x = 0, s2x = 0, s1y = 0, s2y = 0;
    };
    // One painted region: an entry with nothing drawn inside it, or the
    // rest of a folder.
    struct Tile {
        Rect rect;
        Cushion cushion;
        uint32_t entry = 0;
        bool rest = false;
    };

    // Smallest area (in pixels) an entry is given a rectangle for.
    static constexpr double minimumArea = 12.0;
    // The fraction of the root to keep in a snapshot drawn at that size.
    static double minimumFractionForArea(double width, double height);
    // Smallest area of an entry of the map's root (the folder zoomed into),
    // and the fraction of the root that makes at that size.
    static constexpr double minimumRootEntryArea = 2.0;
    static double minimumRootEntryFractionForArea(double width, double height);

    HLNTreemapLayout() = default;
    HLNTreemapLayout(const HLNTreemapSnapshot& snapshot, Rect bounds);

    // Per snapshot entry; an entry with no area has w = h = 0.
    const std::vector<Rect>& rects() const { return _rects; }
    const Rect& restOf(uint32_t entry) const { return _rest[entry]; }
    const std::vector<Tile>& tiles() const { return _tiles; }
    // The deepest entry whose rectangle holds the point, or none.
    uint32_t entryAt(double x, double y) const;

    // Lays out sizes (largest first, all > 0) in the rectangle, one rectangle
    // per size, in the same order; their areas are in proportion to the sizes.
    static std::vector<Rect> squarify(const std::vector<double>& sizes, Rect bounds);
    // The worst aspect ratio (long side over short side, >= 1) of a rectangle.
    static double aspectRatio(const Rect& r);

private:
    const HLNTreemapSnapshot* _snapshot = nullptr;
    std::vector<Rect> _rects;
    std::vector<Rect> _rest;
    std::vector<Tile> _tiles;
};
