#include "toolkit/gui/TFDragSlop.h"

#include <QMouseEvent>
#include <gtest/gtest.h>

namespace {

TEST(TFDragSlop, OnlyAMoveBeyondTheSlopCounts) {
    const QPointF down(10, 10);
    EXPECT_FALSE(TFDragSlop::movedBeyondSlop(down, QPointF(14, 10)));     // exactly 4.0
    EXPECT_FALSE(TFDragSlop::movedBeyondSlop(down, QPointF(12.8, 12.8))); // 3.96 diagonally
    EXPECT_TRUE(TFDragSlop::movedBeyondSlop(down, QPointF(14.01, 10)));
    EXPECT_TRUE(TFDragSlop::movedBeyondSlop(down, QPointF(13, 13))); // 4.24 diagonally
    EXPECT_TRUE(TFDragSlop::movedBeyondSlop(down, QPointF(10, 5.9)));
}

TEST(TFDragSlop, AnswersOncePerPressAndOnlyWithTheButtonHeld) {
    TFDragSlop slop;
    EXPECT_FALSE(slop.shouldStartDrag(QPointF(100, 100), Qt::LeftButton)) << "no press, no drag";

    slop.mouseDown(QPointF(0, 0), Qt::LeftButton);
    EXPECT_FALSE(slop.shouldStartDrag(QPointF(3, 0), Qt::LeftButton));
    EXPECT_TRUE(slop.shouldStartDrag(QPointF(5, 0), Qt::LeftButton));
    EXPECT_FALSE(slop.shouldStartDrag(QPointF(20, 0), Qt::LeftButton)) << "only once per press";

    slop.mouseDown(QPointF(0, 0), Qt::LeftButton);
    slop.mouseUp();
    EXPECT_FALSE(slop.shouldStartDrag(QPointF(50, 0), Qt::LeftButton)) << "released before moving";

    slop.mouseDown(QPointF(0, 0), Qt::LeftButton);
    EXPECT_FALSE(slop.shouldStartDrag(QPointF(50, 0), Qt::RightButton))
        << "pressed button no longer held";
    EXPECT_FALSE(slop.isTracking());
}

TEST(TFDragSlop, WidgetEventsFeedTheSameRule) {
    TFDragSlop slop;
    QMouseEvent down(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                     Qt::LeftButton, Qt::NoModifier);
    slop.mouseDownEvent(&down);
    QMouseEvent near(QEvent::MouseMove, QPointF(7, 7), QPointF(7, 7), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    EXPECT_FALSE(slop.shouldStartDragFromMouseMoveEvent(&near));
    QMouseEvent far(QEvent::MouseMove, QPointF(5, 10), QPointF(5, 10), Qt::NoButton, Qt::LeftButton,
                    Qt::NoModifier);
    EXPECT_TRUE(slop.shouldStartDragFromMouseMoveEvent(&far));
}

} // namespace
