#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

class QAction;
class QGridLayout;
class QMainWindow;
class QMenu;
class QObject;
class QPushButton;
class QWidget;

// One command of a window, as one row of the window's table: what the user
// sees of it (its menu and place there, text, keys, place in the rows' menu,
// button) and what it does and when (handler, enabling rule). The window's
// menus, its rows' menu, its buttons and their enabling are all made from
// that table, so a new command is a new row and nothing else.
// Main thread only.
struct HLNWindowCommand {
    // A button beside the summary, at its cell of the window's grid of them.
    struct Button {
        QString text{};
        QString toolTip{};
        int row = 0;
        int column = 0;
        // Off for the commands that change the disk: a Space meant for the
        // columns never lands on one.
        bool takesFocus = true;
    };

    QString name{};               // the object name of its item: how code and tests find it
    QString menu{};               // the title of its menu in the menu bar; menus come in
                                  // the order the rows first name them; "Menu/Sub" is
                                  // a submenu of Menu
    QString text{};               // the item's text, with its mnemonic
    QList<QKeySequence> keys{};   // its shortcuts, the first one shown in the menu
    bool separatorBefore = false; // in its menu
    QString toolTip{};            // the item's tooltip and status tip, shown in its menu
    bool checkable = false;
    bool checked = false; // a checkable item's state as the window opens
    // Its place in the rows' menu: 0, not there; otherwise the items go by
    // place, with a separator where the tens change (12 | 20).
    int rowsMenuPlace = 0;
    std::optional<Button> button{};
    // Off in a window on a scan, whatever the rule says: its files are elsewhere.
    bool needsFiles = false;
    std::function<bool()> present{}; // whether the window has it at all; null: it has
    std::function<bool()> enabled{}; // the enabling rule; null: always enabled
    // What it does; checked: a checkable item's new state (false otherwise).
    std::function<void(bool checked)> run{};

    // What building the window made of the row (owned by the window); null
    // when it has none (or the row is not present).
    QAction* action = nullptr;
    QPushButton* pushButton = nullptr;

    // Makes the items of every present row in the window's menu bar, the
    // rows' menu and the buttons in the grid (children of buttonParent).
    // The handlers run with owner as their context; beforeMenuShows runs
    // as any of these menus is about to show (to enable its items).
    static void buildAll(std::vector<HLNWindowCommand>& commands, QMainWindow* window,
                         QMenu* rowsMenu, QGridLayout* buttons, QWidget* buttonParent,
                         QObject* owner, const std::function<void()>& beforeMenuShows);
    // Enables or disables its item and its button together.
    void setEnabled(bool on) const;
};
