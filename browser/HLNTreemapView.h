#pragma once

#include "browser/HLNTreemapLayout.h"
#include "browser/HLNTreemapPainter.h"
#include "model/HLNFile.h"
#include "model/HLNFileKind.h"
#include "model/HLNTreemapSnapshot.h"

#include <QImage>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The map pane of a file browser window: the treemap of the folder it is
// zoomed into (the window's root at first), with a caption and legend strip
// below. It redraws from a fresh snapshot on each refresh of the window, so
// it follows the sizing live; the snapshot is taken in one hold of the tree
// lock and holds only what is big enough to be seen.
//
// Mouse and keys: a click selects the entry under it (fileClicked), a double
// click zooms into the folder under it, Backspace zooms out. Nothing here
// deletes anything; the window's destroy shortcut is kept off the map.
// Main thread only.
class HLNTreemapView : public QWidget {
    Q_OBJECT
public:
    explicit HLNTreemapView(QWidget* parent = nullptr);

    void setRootFile(const Ref<HLNFile>& root);
    const Ref<HLNFile>& rootFile() const { return _root; }
    const Ref<HLNFile>& zoomFile() const { return _zoom; }
    // Zooms into a folder of the tree (the deepest folder holding a file).
    void zoomInto(const Ref<HLNFile>& file);
    void zoomOut();
    bool canZoomOut() const { return _zoom && _zoom != _root; }

    // The entries to outline (the window's selection). An entry too small to
    // be drawn is outlined by its nearest drawn folder.
    void setSelectedFiles(const std::vector<Ref<HLNFile>>& files);
    // Picks out the files of one kind, or of one extension ("" for names
    // without one), fading the rest; kind KindCount and no extension: none.
    void highlight(uint8_t kind, std::optional<std::string> extension);
    // Colours the tiles by what colors answers for a tile's node and the
    // folder it lies in, with the legend's swatches for it; none: by kind.
    using NodeColors = std::function<QColor(const HLNFile* node, const HLNFile* folder)>;
    void setNodeColors(NodeColors colors, HLNTreemapPainter::Swatches legend = {});
    bool colorsByNode() const { return bool(_nodeColors); }
    // The nodes whose rectangles are outlined now.
    std::vector<Ref<HLNFile>> outlinedFiles() const;

    // A new snapshot, layout and drawing (the window's refresh). Skipped while
    // hidden; done when next shown.
    void refresh();
    // The deepest drawn entry at a point of the widget, or null.
    Ref<HLNFile> fileAt(QPoint point) const;
    // The rectangle drawn for a node, empty when none is.
    QRectF rectOfFile(const HLNFile* file) const;
    QRect mapRect() const;
    // What the tooltip says at a point of the widget (empty: no entry there).
    QString toolTipAt(QPoint point) const;

    const HLNTreemapSnapshot& snapshot() const { return _snapshot; }
    const HLNTreemapLayout& layout() const { return _layout; }
    // How long the last refresh took in its three steps, in milliseconds.
    double lastSnapshotMs() const { return _snapshotMs; }
    double lastLayoutMs() const { return _layoutMs; }
    double lastPaintMs() const { return _paintMs; }

signals:
    void fileClicked(const Ref<HLNFile>& file);
    void zoomChanged();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void _outline();

    Ref<HLNFile> _root;
    Ref<HLNFile> _zoom;
    std::vector<Ref<HLNFile>> _selected;
    std::vector<uint32_t> _outlined; // snapshot entries
    HLNTreemapSnapshot _snapshot;
    HLNTreemapLayout _layout;
    QImage _picture; // cushions and hatching, the size of the map
    uint8_t _litKind = HLNFileKind::KindCount;
    std::optional<std::string> _litExtension;
    QString _caption;
    bool _sizing = false; // something in the map is hatched
    bool _stale = true;
    NodeColors _nodeColors;
    HLNTreemapPainter::Swatches _legend;
    double _snapshotMs = 0, _layoutMs = 0, _paintMs = 0;
};
