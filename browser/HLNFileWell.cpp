#include "browser/HLNFileWell.h"

#include "browser/HLNWorkspace.h"
#include "model/HLNRefreshRequests.h"
#include "toolkit/TFString.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

const char* const HLNFileWell::internalDragFormat = "application/x-hollin-file-well";

HLNFileWell::HLNFileWell(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_AcceptTouchEvents, false);
    setEditable(true);
}

void HLNFileWell::setFilenames(const std::vector<std::string>& filenames,
                               const std::vector<HLNWorkspace::Kind>& kinds) {
    std::vector<std::string> copy = filenames;
    _image = HLNWorkspace::iconForFiles(copy, kinds);
    _filenames.swap(copy);
    setToolTip(_filenames.size() == 1 ? TFString::displayStringForName(_filenames.front())
                                      : QString());
    update();
}

void HLNFileWell::setEditable(bool editable) {
    _editable = editable;
    setAcceptDrops(editable);
}

QMimeData* HLNFileWell::mimeDataForFilenames(const std::vector<std::string>& filenames) {
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const std::string& path : filenames)
        urls.push_back(HLNWorkspace::fileURLForPath(path));
    data->setUrls(urls);
    data->setData(internalDragFormat, QByteArray());
    return data;
}

Qt::DropActions HLNFileWell::draggingSourceOperationMaskForLocal(bool isLocal) {
    return isLocal ? Qt::DropActions() : (Qt::CopyAction | Qt::LinkAction);
}

QRect HLNFileWell::imageRect() const {
    const int side = std::max(16, std::min(width(), height()) - 8);
    return QRect((width() - side) / 2, (height() - side) / 2, side, side);
}

void HLNFileWell::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // A sunken frame marks the well even when it is empty.
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.lineWidth = 1;
    frame.state |= QStyle::State_Sunken;
    style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);
    if (hasImage())
        _image.paint(&painter, imageRect(), Qt::AlignCenter,
                     isEnabled() ? QIcon::Normal : QIcon::Disabled);
}

void HLNFileWell::mousePressEvent(QMouseEvent* event) {
    mouseDown(event);
}

// Qt sends the second press of a double click here; counting is our own,
// so a third press counts as a triple click and does nothing.
void HLNFileWell::mouseDoubleClickEvent(QMouseEvent* event) {
    mouseDown(event);
}

void HLNFileWell::mouseDown(QMouseEvent* event) {
    if (!hasImage() || event->button() != Qt::LeftButton) {
        _clickCount = 0;
        QWidget::mousePressEvent(event);
        return;
    }
    const qint64 now = static_cast<qint64>(event->timestamp());
    const bool continues =
        _lastPressTime >= 0 && now - _lastPressTime <= QApplication::doubleClickInterval() &&
        !TFDragSlop::movedBeyondSlop(_lastPressPosition, event->position(), _slop.slop());
    _clickCount = continues ? _clickCount + 1 : 1;
    _lastPressTime = now;
    _lastPressPosition = event->position();
    event->accept();

    switch (_clickCount) {
    case 1:
        _slop.mouseDownEvent(event);
        break;
    case 2:
        _slop.mouseUp();
        if (_draggable)
            HLNWorkspace::revealPaths(_filenames);
        break;
    default:
        _slop.mouseUp();
        break;
    }
}

void HLNFileWell::mouseMoveEvent(QMouseEvent* event) {
    if (_slop.shouldStartDragFromMouseMoveEvent(event)) {
        _clickCount = 0;
        _lastPressTime = -1;
        startDrag();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void HLNFileWell::mouseReleaseEvent(QMouseEvent* event) {
    _slop.mouseUpEvent(event);
    QWidget::mouseReleaseEvent(event);
}

void HLNFileWell::startDrag() {
    if (_filenames.empty() || !hasImage() || !_draggable)
        return;
    auto* drag = new QDrag(this);
    QMimeData* data = mimeDataForFilenames(_filenames);
    drag->setMimeData(data);
    const QRect image = imageRect();
    drag->setPixmap(_image.pixmap(image.size(), devicePixelRatioF()));
    drag->setHotSpot((_slop.mouseDownPosition() - QPointF(image.topLeft())).toPoint());
    emit dragStarted(data);
    // Never a move: the files stay where they are. When nobody takes them,
    // the platform's drag slides the image back.
    {
        const HLNRefreshRequests::Hold refreshesWait; // the columns stay put under the drag
        drag->exec(draggingSourceOperationMaskForLocal(false), Qt::CopyAction);
    }
    drag->deleteLater();
}

void HLNFileWell::dragEnterEvent(QDragEnterEvent* event) {
    // Never our own files, and never anything when not editable.
    if (!_editable || event->mimeData()->hasFormat(internalDragFormat) ||
        !event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    for (const QUrl& url : event->mimeData()->urls())
        if (!url.isLocalFile()) {
            event->ignore();
            return;
        }
    event->acceptProposedAction();
}

void HLNFileWell::dropEvent(QDropEvent* event) {
    if (!_editable || event->mimeData()->hasFormat(internalDragFormat)) {
        event->ignore();
        return;
    }
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths.push_back(HLNWorkspace::pathForFileURL(url));
    setFilenames(paths);
    event->acceptProposedAction();
}
