#include "browser/HLNTreemapView.h"

#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNTreemapPainter.h"
#include "toolkit/TFString.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

HLNTreemapView::HLNTreemapView(QWidget* parent) : QWidget(parent) {
    setObjectName("treemap");
    setFocusPolicy(Qt::StrongFocus);
    setMinimumHeight(60);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void HLNTreemapView::setRootFile(const Ref<HLNFile>& root) {
    _root = root;
    _zoom = root;
    _stale = true;
    update();
}

void HLNTreemapView::zoomInto(const Ref<HLNFile>& file) {
    Ref<HLNFile> folder = file;
    while (folder && !folder->isDirectory())
        folder = folder->parent();
    if (!folder || folder == _zoom)
        return;
    // Only within this window's tree.
    Ref<HLNFile> n = folder;
    while (n && n != _root)
        n = n->parent();
    if (!n)
        return;
    _zoom = folder;
    refresh();
    emit zoomChanged();
}

void HLNTreemapView::zoomOut() {
    if (!canZoomOut())
        return;
    Ref<HLNFile> up = _zoom->parent();
    _zoom = up ? up : _root;
    refresh();
    emit zoomChanged();
}

QRect HLNTreemapView::mapRect() const {
    return HLNTreemapPainter::mapRectForSize(size());
}

void HLNTreemapView::refresh() {
    if (!isVisible()) {
        _stale = true;
        return;
    }
    _stale = false;
    // A zoomed folder that has left the tree (deleted, re-read) gives way to the root.
    if (_zoom != _root && (!_zoom || _zoom->isInvalidated() || _zoom->path().empty())) {
        _zoom = _root;
        emit zoomChanged();
    }
    const QRect map = mapRect();
    QElapsedTimer clock;
    clock.start();
    _snapshot = HLNTreemapSnapshot::take(
        _zoom, HLNTreemapLayout::minimumFractionForArea(map.width(), map.height()),
        &HLNTreemapPainter::kindOfName,
        HLNTreemapLayout::minimumRootEntryFractionForArea(map.width(), map.height()));
    _snapshotMs = clock.nsecsElapsed() / 1e6;
    clock.restart();
    _layout = HLNTreemapLayout(_snapshot, {0, 0, double(map.width()), double(map.height())});
    _layoutMs = clock.nsecsElapsed() / 1e6;
    clock.restart();
    HLNTreemapPainter::TileColors colors;
    if (_nodeColors)
        colors = [this](const HLNTreemapLayout::Tile& tile) {
            // A folder's own tile (its files left out) is the folder's.
            const auto& entries = _snapshot.entries();
            const auto& entry = entries[tile.entry];
            const HLNFile* folder = entry.isDirectory || entry.parent == HLNTreemapSnapshot::none
                                        ? entry.file.get()
                                        : entries[entry.parent].file.get();
            return _nodeColors(entry.file.get(), folder);
        };
    _picture = HLNTreemapPainter::paintCushions(_snapshot, _layout, map.size(), colors);
    if (_litKind != HLNFileKind::KindCount || _litExtension) {
        HLNTreemapPainter::dimTiles(_picture, _snapshot, _layout, [this](const auto& tile) {
            if (_litExtension) // of that kind too, when one is given
                return !tile.rest && !_snapshot.entries()[tile.entry].isDirectory &&
                       HLNFileKind::extensionOfName(_snapshot.nameOf(tile.entry)) ==
                           *_litExtension &&
                       (_litKind == HLNFileKind::KindCount ||
                        HLNTreemapPainter::kindOfTile(_snapshot, tile) == _litKind);
            return HLNTreemapPainter::kindOfTile(_snapshot, tile) == _litKind;
        });
    }
    HLNTreemapPainter::paintHatching(_picture, _snapshot, _layout);
    HLNTreemapPainter::paintNames(_picture, _snapshot, _layout, colors);
    _paintMs = clock.nsecsElapsed() / 1e6;
    _caption = HLNTreemapPainter::captionFor(_snapshot);
    _sizing = HLNTreemapPainter::anythingBusy(_snapshot);
    _outline();
    // A tooltip on show speaks of the map as it is now, not as it was.
    if (QToolTip::isVisible() && underMouse()) {
        const QPoint at = mapFromGlobal(QCursor::pos());
        const QString text = toolTipAt(at);
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(QCursor::pos(), text, this);
    }
    update();
}

QString HLNTreemapView::toolTipAt(QPoint point) const {
    const uint32_t at = _layout.entryAt(point.x() + 0.5, point.y() + 0.5);
    if (at == HLNTreemapSnapshot::none)
        return QString();
    const auto& e = _snapshot.entries()[at];
    QString text = TFString::displayStringForName(_snapshot.pathOf(at)) + "\n" +
                   HLNFileBrowserCell::figureText(e.bytes, true);
    if (e.status == SizeStatus::notStarted || e.status == SizeStatus::inProgress)
        text += " (sizing)";
    else if (e.status == SizeStatus::goneOrGoing)
        text += " (deleting)";
    return text;
}

void HLNTreemapView::highlight(uint8_t kind, std::optional<std::string> extension) {
    if (kind == _litKind && extension == _litExtension)
        return;
    _litKind = kind;
    _litExtension = std::move(extension);
    refresh();
}

void HLNTreemapView::setSelectedFiles(const std::vector<Ref<HLNFile>>& files) {
    if (files == _selected)
        return;
    _selected = files;
    _outline();
    update();
}

void HLNTreemapView::_outline() {
    _outlined.clear();
    for (const Ref<HLNFile>& file : _selected) {
        for (Ref<HLNFile> n = file; n; n = n->parent()) {
            const uint32_t at = _snapshot.indexOf(n.get());
            if (at != HLNTreemapSnapshot::none && _layout.rects()[at].area() > 0) {
                _outlined.push_back(at);
                break;
            }
            if (n == _zoom)
                break;
        }
    }
}

std::vector<Ref<HLNFile>> HLNTreemapView::outlinedFiles() const {
    std::vector<Ref<HLNFile>> files;
    for (uint32_t at : _outlined)
        files.push_back(_snapshot.entries()[at].file);
    return files;
}

Ref<HLNFile> HLNTreemapView::fileAt(QPoint point) const {
    const uint32_t at = _layout.entryAt(point.x() + 0.5, point.y() + 0.5);
    return at == HLNTreemapSnapshot::none ? Ref<HLNFile>() : _snapshot.entries()[at].file;
}

QRectF HLNTreemapView::rectOfFile(const HLNFile* file) const {
    const uint32_t at = _snapshot.indexOf(file);
    if (at == HLNTreemapSnapshot::none)
        return QRectF();
    const auto& r = _layout.rects()[at];
    return QRectF(r.x, r.y, r.w, r.h);
}

void HLNTreemapView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (_stale)
        refresh();
}

void HLNTreemapView::paintEvent(QPaintEvent*) {
    const QRect map = mapRect();
    if (_stale || _picture.size() != map.size())
        refresh();
    QPainter painter(this);
    painter.drawImage(0, 0, _picture);
    for (uint32_t at : _outlined)
        HLNTreemapPainter::paintOutline(painter, _layout.rects()[at]);
    if (map.height() < height())
        HLNTreemapPainter::paintLegend(painter,
                                       QRect(0, map.bottom() + 1, width(), height() - map.height()),
                                       _caption, _sizing, _nodeColors ? &_legend : nullptr);
}

void HLNTreemapView::setNodeColors(NodeColors colors, HLNTreemapPainter::Swatches legend) {
    _nodeColors = std::move(colors);
    _legend = std::move(legend);
    _stale = true;
    update();
}

void HLNTreemapView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    if (Ref<HLNFile> file = fileAt(event->position().toPoint()))
        emit fileClicked(file);
}

void HLNTreemapView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseDoubleClickEvent(event);
    if (Ref<HLNFile> file = fileAt(event->position().toPoint()))
        zoomInto(file);
}

void HLNTreemapView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Backspace) {
        zoomOut();
        return;
    }
    if (event->key() == Qt::Key_Delete)
        return; // taken, and nothing done with it
    QWidget::keyPressEvent(event);
}

bool HLNTreemapView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Backspace and Delete, with any modifier, stay with the map, so the
        // window's destroy shortcut never fires while the map has the keys.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Backspace || key == Qt::Key_Delete) {
            event->accept();
            return true;
        }
    }
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = toolTipAt(help->pos());
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
            return true;
        }
        QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}
