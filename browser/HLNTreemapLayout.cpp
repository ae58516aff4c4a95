#include "browser/HLNTreemapLayout.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// Height of the first ridge, and how much each level's ridge shrinks.
constexpr double ridgeHeight = 0.5;
constexpr double ridgeFactor = 0.75;

void addRidge(double x1, double x2, double h, double& s1, double& s2) {
    if (x2 - x1 <= 0)
        return;
    s1 += 4 * h * (x2 + x1) / (x2 - x1);
    s2 -= 4 * h / (x2 - x1);
}

// The worst aspect ratio of a row of areas summing to sum, laid along a side.
double worst(double side, double sum, double largest, double smallest) {
    const double side2 = side * side, sum2 = sum * sum;
    return std::max(side2 * largest / sum2, sum2 / (side2 * smallest));
}

} // namespace

double HLNTreemapLayout::minimumFractionForArea(double width, double height) {
    const double area = width * height;
    return area > 0 ? minimumArea / area : 1.0;
}

double HLNTreemapLayout::minimumRootEntryFractionForArea(double width, double height) {
    const double area = width * height;
    return area > 0 ? minimumRootEntryArea / area : 1.0;
}

double HLNTreemapLayout::aspectRatio(const Rect& r) {
    if (r.w <= 0 || r.h <= 0)
        return INFINITY;
    return std::max(r.w / r.h, r.h / r.w);
}

std::vector<HLNTreemapLayout::Rect> HLNTreemapLayout::squarify(const std::vector<double>& sizes,
                                                               Rect bounds) {
    std::vector<Rect> out(sizes.size());
    const double total = std::accumulate(sizes.begin(), sizes.end(), 0.0);
    if (sizes.empty() || total <= 0 || bounds.w <= 0 || bounds.h <= 0)
        return out;
    const double scale = bounds.area() / total;
    Rect free = bounds;
    size_t i = 0;
    while (i < sizes.size()) {
        const bool vertical =
            free.w >= free.h; // the row is a column at the left when the space is wide
        const double side = vertical ? free.h : free.w;
        // Grow the row while its worst aspect ratio does not get worse.
        size_t end = i + 1;
        double sum = sizes[i] * scale;
        double ratio = worst(side, sum, sizes[i] * scale, sizes[i] * scale);
        while (end < sizes.size()) {
            const double a = sizes[end] * scale;
            const double next = worst(side, sum + a, sizes[i] * scale, a);
            if (next > ratio)
                break;
            ratio = next;
            sum += a;
            ++end;
        }
        // The last row takes what is left, so rounding never leaves a gap.
        const bool last = end == sizes.size();
        const double thickness = last ? (vertical ? free.w : free.h) : sum / side;
        double at = vertical ? free.y : free.x;
        const double stop = vertical ? free.y + free.h : free.x + free.w;
        for (size_t k = i; k < end; ++k) {
            const double length = k + 1 == end ? stop - at : sizes[k] * scale / thickness;
            out[k] = vertical ? Rect{free.x, at, thickness, length}
                              : Rect{at, free.y, length, thickness};
            at += length;
        }
        if (vertical) {
            free.x += thickness;
            free.w = std::max(0.0, free.w - thickness);
        } else {
            free.y += thickness;
            free.h = std::max(0.0, free.h - thickness);
        }
        i = end;
    }
    return out;
}

HLNTreemapLayout::HLNTreemapLayout(const HLNTreemapSnapshot& snapshot, Rect bounds)
    : _snapshot(&snapshot) {
    const auto& entries = snapshot.entries();
    _rects.assign(entries.size(), Rect{});
    _rest.assign(entries.size(), Rect{});
    if (entries.empty() || entries[0].bytes == 0 || bounds.w <= 0 || bounds.h <= 0)
        return;
    _rects[0] = bounds;
    std::vector<Cushion> cushions(entries.size());
    std::vector<double> heights(entries.size(), ridgeHeight);
    std::vector<double> sizes;
    std::vector<int64_t> order; // child index, or -1 for the rest
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const Rect r = _rects[i];
        if (r.w <= 0 || r.h <= 0)
            continue;
        Cushion c = i == 0 ? Cushion{} : cushions[i];
        addRidge(r.x, r.x + r.w, heights[i], c.s1x, c.s2x);
        addRidge(r.y, r.y + r.h, heights[i], c.s1y, c.s2y);
        if (e.childCount == 0) {
            _tiles.push_back({r, c, i, false});
            continue;
        }
        // Children are largest first; the rest goes where its size puts it.
        uint64_t childBytes = 0;
        for (uint32_t k = 0; k < e.childCount; ++k)
            childBytes += entries[e.firstChild + k].bytes;
        const uint64_t rest = e.bytes > childBytes ? e.bytes - childBytes : 0;
        sizes.clear();
        order.clear();
        bool restPlaced = rest == 0;
        for (uint32_t k = 0; k < e.childCount; ++k) {
            const uint64_t b = entries[e.firstChild + k].bytes;
            if (!restPlaced && rest >= b) {
                sizes.push_back(double(rest));
                order.push_back(-1);
                restPlaced = true;
            }
            sizes.push_back(double(b));
            order.push_back(e.firstChild + k);
        }
        if (!restPlaced) {
            sizes.push_back(double(rest));
            order.push_back(-1);
        }
        const std::vector<Rect> placed = squarify(sizes, r);
        for (size_t k = 0; k < placed.size(); ++k) {
            if (order[k] < 0) {
                _rest[i] = placed[k];
                Cushion rc = c;
                addRidge(placed[k].x, placed[k].x + placed[k].w, heights[i] * ridgeFactor, rc.s1x,
                         rc.s2x);
                addRidge(placed[k].y, placed[k].y + placed[k].h, heights[i] * ridgeFactor, rc.s1y,
                         rc.s2y);
                _tiles.push_back({placed[k], rc, i, true});
            } else {
                const auto child = static_cast<uint32_t>(order[k]);
                _rects[child] = placed[k];
                cushions[child] = c;
                heights[child] = heights[i] * ridgeFactor;
            }
        }
    }
}

uint32_t HLNTreemapLayout::entryAt(double x, double y) const {
    if (!_snapshot || _rects.empty() || !_rects[0].contains(x, y))
        return HLNTreemapSnapshot::none;
    const auto& entries = _snapshot->entries();
    uint32_t at = 0;
    for (;;) {
        const auto& e = entries[at];
        uint32_t inside = HLNTreemapSnapshot::none;
        for (uint32_t k = 0; k < e.childCount; ++k)
            if (_rects[e.firstChild + k].contains(x, y)) {
                inside = e.firstChild + k;
                break;
            }
        if (inside == HLNTreemapSnapshot::none)
            return at;
        at = inside;
    }
}
