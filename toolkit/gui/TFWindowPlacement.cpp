#include "toolkit/gui/TFWindowPlacement.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace TFWindowPlacement {

namespace {

QRect availableAreaFor(const QWidget* window) {
    QScreen* screen = QGuiApplication::screenAt(window->geometry().center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

} // namespace

void fitToScreen(QWidget* window) {
    const QRect area = availableAreaFor(window);
    if (area.isEmpty())
        return;
    const QSize room(std::max(200, area.width() - kFrameAllowance / 4),
                     std::max(150, area.height() - kFrameAllowance));
    const QSize size = window->size().boundedTo(room);
    if (size != window->size())
        window->resize(size);
    // Wholly inside, title bar included.
    QPoint at = window->pos();
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - size.width())));
    at.setY(std::clamp(at.y(), area.top(),
                       std::max(area.top(), area.bottom() - size.height() - kFrameAllowance)));
    if (at != window->pos())
        window->move(at);
}

void cascade(QWidget* window) {
    const QRect area = availableAreaFor(window);
    auto taken = [&](const QPoint& at) {
        for (const QWidget* other : QApplication::topLevelWidgets())
            if (other != window && other->isVisible() &&
                other->objectName() == window->objectName() &&
                (other->pos() - at).manhattanLength() < kCascadeStep / 2)
                return true;
        return false;
    };
    QPoint at = window->pos();
    int wraps = 0;
    for (int tries = 0; tries < 64 && taken(at); ++tries) {
        at += QPoint(kCascadeStep, kCascadeStep);
        // A third of the screen down: start again near the top left.
        if (!area.isEmpty() &&
            (at.x() - area.left() > area.width() / 3 || at.y() - area.top() > area.height() / 3))
            at = area.topLeft() + QPoint(kCascadeStep / 2 * ++wraps, 0);
    }
    if (at == window->pos())
        return;
    window->move(at);
    // What the step pushed past the screen's edge is given up.
    if (!area.isEmpty())
        window->resize(window->size().boundedTo(
            QSize(std::max(200, area.right() + 1 - at.x() - kFrameAllowance / 4),
                  std::max(150, area.bottom() + 1 - at.y() - kFrameAllowance))));
}

} // namespace TFWindowPlacement
