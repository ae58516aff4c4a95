#include "browser/HLNTreemapPainter.h"

#include "browser/HLNFileBrowserCell.h"
#include "toolkit/TFString.h"

#include <QByteArray>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

uint8_t HLNTreemapPainter::kindOfName(std::string_view name) {
    return HLNFileKind::kindOfName(name);
}

QColor HLNTreemapPainter::colorOfKind(uint8_t kind) {
    switch (Kind(kind)) {
    case Video:
        return QColor(196, 92, 214);
    case Audio:
        return QColor(84, 172, 234);
    case Image:
        return QColor(108, 200, 96);
    case Archive:
        return QColor(236, 150, 52);
    case Document:
        return QColor(232, 212, 84);
    case Code:
        return QColor(92, 112, 226);
    case Program:
        return QColor(62, 184, 166);
    case Other:
    case KindCount:
        break;
    }
    return QColor(168, 168, 168);
}

QString HLNTreemapPainter::nameOfKind(uint8_t kind) {
    switch (Kind(kind)) {
    case Video:
        return "video";
    case Audio:
        return "audio";
    case Image:
        return "image";
    case Archive:
        return "archive";
    case Document:
        return "document";
    case Code:
        return "code";
    case Program:
        return "program or library";
    case Other:
    case KindCount:
        break;
    }
    return "other";
}

uint8_t HLNTreemapPainter::kindOfTile(const HLNTreemapSnapshot& snapshot,
                                      const HLNTreemapLayout::Tile& tile) {
    if (tile.rest)
        return snapshot.entries()[tile.entry].restKind;
    return kindOfEntry(snapshot, tile.entry);
}

uint8_t HLNTreemapPainter::kindOfEntry(const HLNTreemapSnapshot& snapshot, uint32_t entry) {
    const auto& e = snapshot.entries()[entry];
    if (e.isDirectory)
        return e.restKind;
    return HLNFileKind::kindOfFile(snapshot.nameOf(entry), e.isExecutable);
}

int HLNTreemapPainter::legendHeight() {
    return QFontMetrics(QGuiApplication::font()).height() + 8;
}

QRect HLNTreemapPainter::mapRectForSize(QSize size) {
    const int strip = legendHeight();
    if (size.height() < 3 * strip)
        return QRect(QPoint(0, 0), size);
    return QRect(0, 0, size.width(), size.height() - strip);
}

std::vector<bool> HLNTreemapPainter::busyEntries(const HLNTreemapSnapshot& snapshot) {
    const auto& entries = snapshot.entries();
    std::vector<bool> busy(entries.size(), false);
    // Parents come before their children, so a parent's going is known first.
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const bool going = e.status == SizeStatus::goneOrGoing ||
                           (e.parent != HLNTreemapSnapshot::none &&
                            entries[e.parent].status == SizeStatus::goneOrGoing);
        busy[i] = going || (e.isDirectory && (e.status == SizeStatus::notStarted ||
                                              e.status == SizeStatus::inProgress));
    }
    return busy;
}

namespace {

// A tile's pixels, clamped to the image; empty when it covers none.
QRect pixelsOfTile(const HLNTreemapLayout::Tile& tile, int width, int height) {
    const int x0 = std::clamp(int(std::lround(tile.rect.x)), 0, width);
    const int x1 = std::clamp(int(std::lround(tile.rect.x + tile.rect.w)), 0, width);
    const int y0 = std::clamp(int(std::lround(tile.rect.y)), 0, height);
    const int y1 = std::clamp(int(std::lround(tile.rect.y + tile.rect.h)), 0, height);
    return x0 < x1 && y0 < y1 ? QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1)) : QRect();
}

} // namespace

QImage HLNTreemapPainter::paintCushions(const HLNTreemapSnapshot& snapshot,
                                        const HLNTreemapLayout& layout, QSize size,
                                        const TileColors& colors) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(QGuiApplication::palette().color(QPalette::Base));
    if (image.isNull())
        return image;
    // Light from the upper left; a little ambient light so no side goes black.
    const double lx = 0.09759, ly = 0.19518, lz = 0.9759, ambient = 0.35, diffuse = 0.65;
    for (const HLNTreemapLayout::Tile& tile : layout.tiles()) {
        const QRect pixels = pixelsOfTile(tile, image.width(), image.height());
        if (pixels.isEmpty())
            continue;
        const QColor base = colors ? colors(tile) : colorOfKind(kindOfTile(snapshot, tile));
        const float r = float(base.red()), g = float(base.green()), b = float(base.blue());
        const auto& c = tile.cushion;
        for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            const double ny = -(2 * c.s2y * (y + 0.5) + c.s1y);
            const float lightY = float(ny * ly + lz), ny2 = float(ny * ny + 1);
            for (int x = pixels.left(); x <= pixels.right(); ++x) {
                const float nx = float(-(2 * c.s2x * (x + 0.5) + c.s1x));
                float cosine = (nx * float(lx) + lightY) / std::sqrt(nx * nx + ny2);
                const float shade = float(ambient) + float(diffuse) * std::max(0.0f, cosine);
                line[x] = qRgb(int(std::min(255.0f, r * shade)), int(std::min(255.0f, g * shade)),
                               int(std::min(255.0f, b * shade)));
            }
        }
    }
    return image;
}

void HLNTreemapPainter::dimTiles(QImage& image, const HLNTreemapSnapshot& snapshot,
                                 const HLNTreemapLayout& layout,
                                 const std::function<bool(const HLNTreemapLayout::Tile&)>& lit) {
    (void)snapshot;
    const QColor base = QGuiApplication::palette().color(QPalette::Base);
    const int br = base.red(), bg = base.green(), bb = base.blue();
    for (const HLNTreemapLayout::Tile& tile : layout.tiles()) {
        if (lit(tile))
            continue;
        const QRect pixels = pixelsOfTile(tile, image.width(), image.height());
        for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = pixels.left(); x <= pixels.right(); ++x) {
                const QRgb p = line[x]; // a quarter of the tile, the rest the background
                line[x] =
                    qRgb((qRed(p) + 3 * br) / 4, (qGreen(p) + 3 * bg) / 4, (qBlue(p) + 3 * bb) / 4);
            }
        }
    }
}

void HLNTreemapPainter::paintHatching(QImage& image, const HLNTreemapSnapshot& snapshot,
                                      const HLNTreemapLayout& layout) {
    // Written pixel by pixel rather than with a pattern brush: a painter
    // splits large pattern fills over Qt's own thread pool, and the window
    // repaints this image on every refresh while sizing.
    if (image.format() != QImage::Format_RGB32)
        return;
    const std::vector<bool> busy = busyEntries(snapshot);
    const QColor attention = HLNFileBrowserCell::attentionStyle().color;
    const int alpha = 170, keep = 255 - alpha;
    const int ar = attention.red() * alpha, ag = attention.green() * alpha,
              ab = attention.blue() * alpha;
    for (const HLNTreemapLayout::Tile& tile : layout.tiles()) {
        if (!busy[tile.entry])
            continue;
        const QRect pixels = pixelsOfTile(tile, image.width(), image.height());
        for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            // Rising diagonals 8 pixels apart, anchored to the image.
            for (int x = pixels.left() + (8 - (pixels.left() + y) % 8) % 8; x <= pixels.right();
                 x += 8) {
                const QRgb p = line[x];
                line[x] = qRgb((qRed(p) * keep + ar) / 255, (qGreen(p) * keep + ag) / 255,
                               (qBlue(p) * keep + ab) / 255);
            }
        }
    }
}

void HLNTreemapPainter::paintNames(QImage& map, const HLNTreemapSnapshot& snapshot,
                                   const HLNTreemapLayout& layout, const TileColors& colors) {
    if (map.isNull())
        return;
    QFont font = QGuiApplication::font();
    font.setPointSizeF(std::max(6.0, font.pointSizeF() * 0.85));
    const QFontMetrics metrics(font);
    const int minimumWidth = metrics.horizontalAdvance("MMMM") + 6;
    const int minimumHeight = metrics.height() + 2;
    QPainter painter(&map);
    painter.setFont(font);
    for (const HLNTreemapLayout::Tile& tile : layout.tiles()) {
        if (tile.rest || tile.rect.w < minimumWidth || tile.rect.h < minimumHeight)
            continue;
        const QRectF box(tile.rect.x + 3, tile.rect.y + 1, tile.rect.w - 6, tile.rect.h - 2);
        const QString name =
            metrics.elidedText(TFString::displayStringForName(snapshot.nameOf(tile.entry)),
                               Qt::ElideMiddle, int(box.width()));
        // The tile's colour as lit in its middle, where the name sits.
        const QColor base = colors ? colors(tile) : colorOfKind(kindOfTile(snapshot, tile));
        const bool light = 0.299 * base.red() + 0.587 * base.green() + 0.114 * base.blue() > 120;
        painter.setPen(light ? QColor(20, 20, 20) : QColor(245, 245, 245));
        painter.drawText(box, Qt::AlignCenter, name);
    }
}

void HLNTreemapPainter::paintOutline(QPainter& painter, const HLNTreemapLayout::Rect& rect) {
    if (rect.area() <= 0)
        return;
    painter.save();
    painter.setBrush(Qt::NoBrush);
    const QRectF r(rect.x + 1, rect.y + 1, std::max(0.0, rect.w - 2), std::max(0.0, rect.h - 2));
    painter.setPen(QPen(Qt::black, 3));
    painter.drawRect(r);
    painter.setPen(QPen(Qt::white, 1));
    painter.drawRect(r);
    painter.restore();
}

bool HLNTreemapPainter::anythingBusy(const HLNTreemapSnapshot& snapshot) {
    const std::vector<bool> busy = busyEntries(snapshot);
    return std::find(busy.begin(), busy.end(), true) != busy.end();
}

void HLNTreemapPainter::paintLegend(QPainter& painter, const QRect& strip, const QString& caption,
                                    bool sizing, const Swatches* swatches) {
    const QPalette palette = QGuiApplication::palette();
    painter.save();
    painter.fillRect(strip, palette.color(QPalette::Window));
    painter.setPen(palette.color(QPalette::WindowText));
    const QFontMetrics metrics(painter.font());
    const int box = std::max(6, metrics.ascent() - 2);
    // The legend sits at the right; the caption takes what room is left.
    int x = strip.right() - 4;
    std::vector<std::pair<QRect, int>> items; // swatch, kind (-1: sizing)
    int needed = 0;
    const int firstKind = sizing ? -1 : 0;
    const int kinds = swatches ? int(swatches->size()) : int(KindCount);
    auto nameOf = [&](int kind) {
        return kind < 0   ? QString("sizing")
               : swatches ? (*swatches)[size_t(kind)].second
                          : nameOfKind(uint8_t(kind));
    };
    for (int kind = firstKind; kind < kinds; ++kind) {
        const QString name = nameOf(kind);
        needed += box + 4 + metrics.horizontalAdvance(name) + 10;
    }
    if (needed < strip.width() * 3 / 4) {
        x = strip.right() - needed;
        for (int kind = firstKind; kind < kinds; ++kind) {
            const QString name = nameOf(kind);
            const QRect swatch(x, strip.center().y() - box / 2, box, box);
            if (kind < 0) {
                QColor attention = HLNFileBrowserCell::attentionStyle().color;
                painter.fillRect(swatch, palette.color(QPalette::Base));
                painter.fillRect(swatch, QBrush(attention, Qt::BDiagPattern));
            } else {
                painter.fillRect(swatch, swatches ? (*swatches)[size_t(kind)].first
                                                  : colorOfKind(uint8_t(kind)));
            }
            painter.drawText(QRect(x + box + 4, strip.top(), metrics.horizontalAdvance(name) + 2,
                                   strip.height()),
                             Qt::AlignVCenter | Qt::AlignLeft, name);
            x += box + 4 + metrics.horizontalAdvance(name) + 10;
        }
        x = strip.right() - needed;
    }
    const QRect text(strip.left() + 6, strip.top(), std::max(0, x - strip.left() - 16),
                     strip.height());
    painter.drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                     metrics.elidedText(caption, Qt::ElideMiddle, text.width()));
    painter.restore();
}

QImage HLNTreemapPainter::picture(const HLNTreemapSnapshot& snapshot,
                                  const HLNTreemapLayout& layout, QSize size,
                                  const QString& caption) {
    QImage image(size, QImage::Format_RGB32);
    const QRect map = mapRectForSize(size);
    QImage cushions = paintCushions(snapshot, layout, map.size());
    paintHatching(cushions, snapshot, layout);
    paintNames(cushions, snapshot, layout);
    QPainter painter(&image);
    painter.drawImage(0, 0, cushions);
    if (map.height() < size.height())
        paintLegend(painter, QRect(0, map.bottom() + 1, size.width(), size.height() - map.height()),
                    caption, anythingBusy(snapshot));
    return image;
}

QString HLNTreemapPainter::captionFor(const HLNTreemapSnapshot& snapshot) {
    if (snapshot.empty())
        return QString();
    const auto& root = snapshot.entries()[0];
    QString caption = QString("%1 - %2").arg(TFString::displayStringForName(snapshot.nameOf(0)),
                                             HLNFileBrowserCell::figureText(root.bytes, true));
    if (root.status == SizeStatus::notStarted || root.status == SizeStatus::inProgress)
        caption += " (sizing)";
    return caption;
}
