#include "app/HLNShortcutsBox.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

namespace {

QString localized(const char* text) {
    return QCoreApplication::translate("Hollin", text);
}

QString row(const QString& what, const QString& keys) {
    return QString("<tr><td>%1</td><td>&nbsp;&nbsp;<b>%2</b></td></tr>")
        .arg(what.toHtmlEscaped(), keys.toHtmlEscaped());
}

// "&Move to Trash" as the menu shows it: "Move to Trash".
QString plainText(QString text) {
    text.replace("&&", QChar(0x1));
    text.remove('&');
    text.replace(QChar(0x1), '&');
    return text;
}

void addMenu(const QMenu* menu, const QString& path, QString& rows) {
    for (const QAction* action : menu->actions()) {
        if (action->isSeparator())
            continue;
        const QString name = path + plainText(action->text());
        if (const QMenu* sub = action->menu()) {
            addMenu(sub, name + QString::fromUtf8(" \u203a "), rows);
            continue;
        }
        QStringList keys;
        for (const QKeySequence& key : action->shortcuts())
            keys << key.toString(QKeySequence::NativeText);
        if (!keys.isEmpty())
            rows += row(name, keys.join(localized(" or ")));
    }
}

} // namespace

QString HLNShortcutsBox::title() {
    return localized("Keyboard Shortcuts");
}

QString HLNShortcutsBox::text(const QMainWindow* window) {
    QString rows;
    if (window)
        for (const QAction* top : window->menuBar()->actions())
            if (const QMenu* menu = top->menu())
                addMenu(menu, plainText(menu->title()) + QString::fromUtf8(" \u203a "), rows);
    QString keys;
    keys += row(localized("Select the row above or below"), localized("Up, Down"));
    keys += row(localized("Go to the column on the left or right"), localized("Left, Right"));
    keys += row(localized("Add to the selection"), localized("Shift+Up, Shift+Down"));
    keys += row(localized("Select every row of the column"), localized("Ctrl+A"));
    keys += row(localized("Jump to a name"), localized("type its first letters"));
    keys += row(localized("Map: zoom out"), localized("Backspace"));
    keys += row(localized("Drive list: open the selected drive"), localized("Return"));
    return QString("<h3>%1</h3><table>%2</table><h3>%3</h3><table>%4</table>")
        .arg(localized("Menus"), rows, localized("Columns, map and drive list"), keys);
}

void HLNShortcutsBox::show(QWidget* parent) {
    auto* box =
        new QMessageBox(QMessageBox::NoIcon, title(),
                        text(qobject_cast<QMainWindow*>(parent ? parent->window() : nullptr)),
                        QMessageBox::Ok, parent);
    box->setObjectName("keyboardShortcuts");
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
}
