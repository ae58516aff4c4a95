#include "toolkit/gui/TFDragSlop.h"

#include <QMouseEvent>
#include <QtMath>

bool TFDragSlop::movedBeyondSlop(QPointF down, QPointF current, qreal slop) {
    const QPointF d = current - down;
    return d.x() * d.x() + d.y() * d.y() > slop * slop;
}

void TFDragSlop::mouseDown(QPointF position, Qt::MouseButton button) {
    _down = position;
    _button = button;
    _tracking = button != Qt::NoButton;
}

bool TFDragSlop::shouldStartDrag(QPointF position, Qt::MouseButtons buttonsHeld) {
    if (!_tracking)
        return false;
    if (!(buttonsHeld & _button)) {
        // The release was missed (grab lost, window changed): this press is over.
        _tracking = false;
        return false;
    }
    if (!movedBeyondSlop(_down, position, _slop))
        return false;
    _tracking = false;
    return true;
}

void TFDragSlop::mouseUp() {
    _tracking = false;
}

void TFDragSlop::mouseDownEvent(const QMouseEvent* event) {
    mouseDown(event->position(), event->button());
}

bool TFDragSlop::shouldStartDragFromMouseMoveEvent(const QMouseEvent* event) {
    return shouldStartDrag(event->position(), event->buttons());
}

void TFDragSlop::mouseUpEvent(const QMouseEvent*) {
    mouseUp();
}
