#pragma once

// Synthetic input for widget tests, delivered the way the window system
// would (through QApplication::sendEvent), with timestamps the test controls
// so that double and triple clicks are counted as the test means them.
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>

namespace WidgetEvents {

inline ulong& clock() {
    static ulong now = 100000;
    return now;
}

// Moves the synthetic clock on, e.g. past the double-click interval.
inline void advance(ulong ms) {
    clock() += ms;
}

inline void mouse(QWidget* w, QEvent::Type type, QPointF pos, Qt::MouseButton button,
                  Qt::MouseButtons held, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QMouseEvent e(type, pos, w->mapToGlobal(pos), button, held, mods);
    e.setTimestamp(clock());
    QApplication::sendEvent(w, &e);
}

inline void press(QWidget* w, QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    mouse(w, QEvent::MouseButtonPress, pos, Qt::LeftButton, Qt::LeftButton, mods);
}
inline void move(QWidget* w, QPointF pos, Qt::MouseButtons held = Qt::LeftButton) {
    mouse(w, QEvent::MouseMove, pos, Qt::NoButton, held);
}
inline void release(QWidget* w, QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    mouse(w, QEvent::MouseButtonRelease, pos, Qt::LeftButton, Qt::NoButton, mods);
}

// A single click, well apart in time from any earlier click.
inline void click(QWidget* w, QPointF pos, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    advance(5000);
    press(w, pos, mods);
    advance(20);
    release(w, pos, mods);
}

// Presses as the window system sends a double click: press, release, then
// a MouseButtonDblClick for the second press, then its release.
inline void doubleClick(QWidget* w, QPointF pos) {
    click(w, pos);
    advance(50);
    mouse(w, QEvent::MouseButtonDblClick, pos, Qt::LeftButton, Qt::LeftButton);
    advance(20);
    release(w, pos);
}

inline void key(QWidget* w, int key, Qt::KeyboardModifiers mods = Qt::NoModifier,
                const QString& text = QString()) {
    QKeyEvent down(QEvent::KeyPress, key, mods, text);
    QApplication::sendEvent(w, &down);
    QKeyEvent up(QEvent::KeyRelease, key, mods, text);
    QApplication::sendEvent(w, &up);
}

} // namespace WidgetEvents
