#pragma once

#include "browser/HLNWorkspace.h"

#include "toolkit/gui/TFDragSlop.h"

#include <QIcon>
#include <QWidget>
#include <string>
#include <vector>

class QMimeData;

// The well that stands for the current selection: shows its icon, drags the
// paths out as file:// URLs (after a 4.0-point slop; copy or link, never
// move) and reveals them in the file manager on a double click. A triple
// click does nothing.
class HLNFileWell : public QWidget {
    Q_OBJECT
public:
    explicit HLNFileWell(QWidget* parent = nullptr);

    // A copy of the list: changing it leaves the well alone.
    std::vector<std::string> filenames() const { return _filenames; }
    // Keeps its own copy and shows the icon for the new list; the kinds, when
    // known, choose the icons (they go by position; see HLNWorkspace).
    void setFilenames(const std::vector<std::string>& filenames,
                      const std::vector<HLNWorkspace::Kind>& kinds = {});

    // A well that is not editable takes no drops.
    void setEditable(bool editable);
    bool isEditable() const { return _editable; }
    // A well whose files are not on this machine (a scan's) neither drags
    // them out nor reveals them.
    void setDraggable(bool draggable) { _draggable = draggable; }
    bool isDraggable() const { return _draggable; }

    const QIcon& image() const { return _image; }
    bool hasImage() const { return !_image.isNull(); }
    // Clicks counted for the latest press (1 single, 2 double, ...).
    int clickCount() const { return _clickCount; }

    // What a drag carries: text/uri-list with one file:// URL per path
    // (bytes kept), plus a marker naming Hollin as the source.
    static QMimeData* mimeDataForFilenames(const std::vector<std::string>& filenames);
    static const char* const internalDragFormat;
    // No operation for a destination inside Hollin; copy and link elsewhere.
    static Qt::DropActions draggingSourceOperationMaskForLocal(bool isLocal);

    QSize sizeHint() const override { return QSize(56, 56); }
    QSize minimumSizeHint() const override { return QSize(40, 40); }

signals:
    // The drag has started, with the data it carries (for observers and tests).
    void dragStarted(const QMimeData* data);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void mouseDown(QMouseEvent* event);
    void startDrag();
    QRect imageRect() const;

    std::vector<std::string> _filenames;
    QIcon _image;
    bool _editable = true;
    bool _draggable = true;
    TFDragSlop _slop;
    int _clickCount = 0;
    qint64 _lastPressTime = -1;
    QPointF _lastPressPosition;
};
