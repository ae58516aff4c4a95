#pragma once

#include <QPointF>
#include <Qt>

class QMouseEvent;

// Decides whether a press turns into a drag: the pointer has to move more
// than the slop (4.0 points unless told otherwise) while the pressed button
// is still held. Qt's own startDragDistance is deliberately not used, so the
// threshold is the same on every desktop.
//
// Use one per widget: feed it the press, every move and the release; it
// answers true exactly once per press, on the move that crosses the slop.
class TFDragSlop {
public:
    static constexpr qreal defaultSlop = 4.0;

    explicit TFDragSlop(qreal slop = defaultSlop) : _slop(slop) {}

    // True when `current` lies farther than `slop` from `down` (Euclidean).
    static bool movedBeyondSlop(QPointF down, QPointF current, qreal slop = defaultSlop);

    void mouseDown(QPointF position, Qt::MouseButton button);
    // True once, on the first move beyond the slop with the button still held.
    bool shouldStartDrag(QPointF position, Qt::MouseButtons buttonsHeld);
    void mouseUp();

    // Widget event forms of the three calls above.
    void mouseDownEvent(const QMouseEvent* event);
    bool shouldStartDragFromMouseMoveEvent(const QMouseEvent* event);
    void mouseUpEvent(const QMouseEvent* event);

    bool isTracking() const { return _tracking; }
    QPointF mouseDownPosition() const { return _down; }
    qreal slop() const { return _slop; }

private:
    qreal _slop;
    QPointF _down;
    Qt::MouseButton _button = Qt::NoButton;
    bool _tracking = false;
};
