#pragma once

#include <QString>

class QMainWindow;
class QWidget;

// The Help menu's "Keyboard Shortcuts": every menu item of a window that has
// a key, read from its menus as they stand (so the list never goes stale),
// then the keys of the columns and the map, which no menu carries.
class HLNShortcutsBox {
public:
    static QString title();
    // A table of the window's keys; without a window, only the fixed ones.
    static QString text(const QMainWindow* window);
    // Modeless; deletes itself when closed.
    static void show(QWidget* parent);
};
