#include "browser/HLNWindowCommand.h"

#include <QAction>
#include <QGridLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <algorithm>
#include <utility>

void HLNWindowCommand::buildAll(std::vector<HLNWindowCommand>& commands, QMainWindow* window,
                                QMenu* rowsMenu, QGridLayout* buttons, QWidget* buttonParent,
                                QObject* owner, const std::function<void()>& beforeMenuShows) {
    std::vector<std::pair<QString, QMenu*>> menus;
    std::function<QMenu*(const QString&)> menuTitled = [&](const QString& title) {
        for (const auto& [made, menu] : menus)
            if (made == title)
                return menu;
        // "Menu/Sub": a submenu of that menu, where its first row comes.
        const qsizetype slash = title.lastIndexOf('/');
        QMenu* menu = slash < 0 ? window->menuBar()->addMenu(title)
                                : menuTitled(title.left(slash))->addMenu(title.mid(slash + 1));
        if (beforeMenuShows)
            QObject::connect(menu, &QMenu::aboutToShow, owner, beforeMenuShows);
        menus.emplace_back(title, menu);
        return menu;
    };
    std::vector<const HLNWindowCommand*> inRowsMenu;
    for (HLNWindowCommand& command : commands) {
        command.action = nullptr;
        command.pushButton = nullptr;
        if (command.present && !command.present())
            continue;
        QMenu* menu = menuTitled(command.menu);
        if (command.separatorBefore)
            menu->addSeparator();
        QAction* action = menu->addAction(command.text);
        command.action = action;
        action->setObjectName(command.name);
        action->setShortcuts(command.keys);
        if (!command.toolTip.isEmpty()) {
            action->setToolTip(command.toolTip);
            action->setStatusTip(command.toolTip);
            menu->setToolTipsVisible(true);
        }
        if (command.checkable) {
            action->setCheckable(true);
            action->setChecked(command.checked); // before the handler hears of it
            QObject::connect(action, &QAction::toggled, owner, command.run);
        } else {
            QObject::connect(action, &QAction::triggered, owner, command.run);
        }
        if (command.rowsMenuPlace > 0)
            inRowsMenu.push_back(&command);
        if (const std::optional<Button>& wanted = command.button) {
            auto* button = new QPushButton(wanted->text, buttonParent);
            command.pushButton = button;
            button->setObjectName(command.name + "Button");
            button->setToolTip(wanted->toolTip);
            if (!wanted->takesFocus)
                button->setFocusPolicy(Qt::NoFocus);
            buttons->addWidget(button, wanted->row, wanted->column);
            QObject::connect(button, &QPushButton::clicked, owner, command.run);
        }
    }
    // The rows' menu shares the items, and so their keys and their enabling.
    std::stable_sort(inRowsMenu.begin(), inRowsMenu.end(), [](const auto* a, const auto* b) {
        return a->rowsMenuPlace < b->rowsMenuPlace;
    });
    for (size_t i = 0; i < inRowsMenu.size(); ++i) {
        if (i > 0 && inRowsMenu[i]->rowsMenuPlace / 10 != inRowsMenu[i - 1]->rowsMenuPlace / 10)
            rowsMenu->addSeparator();
        rowsMenu->addAction(inRowsMenu[i]->action);
    }
}

void HLNWindowCommand::setEnabled(bool on) const {
    if (action)
        action->setEnabled(on);
    if (pushButton)
        pushButton->setEnabled(on);
}
