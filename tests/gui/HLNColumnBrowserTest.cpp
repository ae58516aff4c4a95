#include "browser/HLNColumnBrowser.h"

#include "support/WidgetEvents.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QScrollBar>
#include <QThread>
#include <gtest/gtest.h>
#include <map>
#include <memory>

namespace {

// A small in-memory tree fed to the browser the way the file window feeds
// it: each column's rows are snapshotted when its row count is asked.
struct Node {
    QString name;
    std::vector<std::shared_ptr<Node>> children;
    bool branch = false;
};
using NodeRef = std::shared_ptr<Node>;

NodeRef leaf(const QString& name) {
    return std::make_shared<Node>(Node{name, {}, false});
}
NodeRef folder(const QString& name, std::vector<NodeRef> children) {
    return std::make_shared<Node>(Node{name, std::move(children), true});
}

struct TreeDelegate : HLNColumnBrowserDelegate {
    NodeRef root;
    std::map<int, std::vector<NodeRef>> cache;
    std::map<int, int> rowCountCalls;
    std::map<int, int> cellCalls;
    bool valid = true;

    NodeRef parentOf(HLNColumnBrowser* browser, int column) {
        if (column == 0)
            return root;
        std::vector<int> rows = browser->selectedRowsInColumn(column - 1);
        if (rows.size() != 1)
            return nullptr;
        return cache[column - 1][rows[0]];
    }
    int browserNumberOfRowsInColumn(HLNColumnBrowser* browser, int column) override {
        ++rowCountCalls[column];
        NodeRef parent = parentOf(browser, column);
        cache[column] = parent ? parent->children : std::vector<NodeRef>{};
        return static_cast<int>(cache[column].size());
    }
    void browserWillDisplayCell(HLNColumnBrowser*, HLNBrowserCell* cell, int row,
                                int column) override {
        ++cellCalls[column];
        cell->setStringValue(cache[column][row]->name);
        cell->setLeaf(!cache[column][row]->branch);
    }
    QString browserTitleOfColumn(HLNColumnBrowser* browser, int column) override {
        NodeRef parent = parentOf(browser, column);
        return parent ? parent->name : QString();
    }
    bool browserIsColumnValid(HLNColumnBrowser*, int) override { return valid; }
};

class ColumnBrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        delegate.root = folder(
            "top", {folder("docs", {leaf("a.txt"), leaf("b.txt"), folder("deep", {leaf("z")})}),
                    leaf("notes"), folder("music", {leaf("song")}), leaf("readme"), leaf("zeta")});
        browser.setDelegate(&delegate);
        browser.resize(900, 400);
        browser.show();
        QApplication::processEvents();
        browser.loadColumnZero();
        QObject::connect(&browser, &HLNColumnBrowser::action, [this] { ++actions; });
        QObject::connect(&browser, &HLNColumnBrowser::doubleAction, [this] { ++doubleActions; });
        QApplication::processEvents();
    }
    QAbstractItemView* view(int column) {
        return qobject_cast<QAbstractItemView*>(browser.viewOfColumn(column));
    }
    QPoint rowCentre(int column, int row) {
        QAbstractItemView* v = view(column);
        return v->visualRect(v->model()->index(row, 0)).center();
    }
    void clickRow(int column, int row, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        WidgetEvents::click(view(column)->viewport(), rowCentre(column, row), mods);
        QApplication::processEvents();
    }
    QString nameAt(int column, int row) {
        return browser.loadedCellAtRow(row, column)->stringValue();
    }

    TreeDelegate delegate;
    HLNColumnBrowser browser;
    int actions = 0;
    int doubleActions = 0;
};

TEST_F(ColumnBrowserTest, ReloadAsksAnewForRowCountAndEveryCellShown) {
    EXPECT_EQ(delegate.rowCountCalls[0], 1);
    browser.repaint();
    const int shownCells = delegate.cellCalls[0];
    EXPECT_EQ(shownCells, 5);
    EXPECT_EQ(browser.titleOfColumn(0), "top");

    delegate.root->children.push_back(leaf("added"));
    browser.reloadColumn(0);
    EXPECT_EQ(delegate.rowCountCalls[0], 2);
    EXPECT_EQ(browser.numberOfRowsInColumn(0), 6);
    browser.repaint();
    EXPECT_EQ(delegate.cellCalls[0], shownCells + 6) << "every shown cell is asked for again";
    EXPECT_EQ(nameAt(0, 5), "added");
}

TEST_F(ColumnBrowserTest, BranchRowOpensNextColumnAndLeafClosesIt) {
    clickRow(0, 0); // docs
    EXPECT_EQ(browser.lastColumn(), 1);
    EXPECT_EQ(browser.titleOfColumn(1), "docs");
    EXPECT_EQ(browser.numberOfRowsInColumn(1), 3);
    EXPECT_EQ(actions, 1);
    clickRow(1, 2); // deep
    EXPECT_EQ(browser.lastColumn(), 2);
    EXPECT_EQ(browser.selectedColumn(), 1);
    clickRow(0, 1); // notes, a leaf
    EXPECT_EQ(browser.lastColumn(), 0);
    EXPECT_EQ(browser.selectedColumn(), 0);
    EXPECT_EQ(actions, 3);
}

TEST_F(ColumnBrowserTest, SingleSelectionSurvivesReSortByStringValueAndKeepsColumnsToTheRight) {
    browser.selectRowInColumn(2, 0); // music
    ASSERT_EQ(browser.lastColumn(), 1);
    browser.selectRowInColumn(0, 1); // song
    const int column1Loads = delegate.rowCountCalls[1];
    EXPECT_EQ(actions, 0) << "programmatic selection sends no action";

    // Re-sort: music moves from row 2 to row 4, others shift.
    auto& kids = delegate.root->children;
    std::rotate(kids.begin() + 2, kids.begin() + 3, kids.end());
    ASSERT_EQ(kids[4]->name, "music");
    browser.reloadColumn(0);

    EXPECT_EQ(browser.selectedRowsInColumn(0), std::vector<int>{4});
    EXPECT_EQ(nameAt(0, 4), "music");
    EXPECT_EQ(browser.lastColumn(), 1) << "the column right of a kept selection stays loaded";
    EXPECT_EQ(delegate.rowCountCalls[1], column1Loads) << "and is not reloaded by its neighbour";
    EXPECT_EQ(browser.selectedRowsInColumn(1), std::vector<int>{0});
    EXPECT_EQ(browser.selectedColumn(), 1);
}

TEST_F(ColumnBrowserTest, VanishedSelectionClosesColumnsToTheRight) {
    browser.selectRowInColumn(0, 0); // docs
    browser.selectRowInColumn(2, 1); // deep
    ASSERT_EQ(browser.lastColumn(), 2);
    delegate.root->children.erase(delegate.root->children.begin());
    browser.reloadColumn(0);
    EXPECT_EQ(browser.selectedColumn(), -1);
    EXPECT_EQ(browser.lastColumn(), 0);
    EXPECT_EQ(browser.numberOfRowsInColumn(0), 4);
}

TEST_F(ColumnBrowserTest, ValidateVisibleColumnsReloadsOnlyInvalidOnes) {
    browser.selectRowInColumn(0, 0); // docs
    const int before0 = delegate.rowCountCalls[0], before1 = delegate.rowCountCalls[1];
    browser.validateVisibleColumns();
    EXPECT_EQ(delegate.rowCountCalls[0], before0);
    delegate.valid = false;
    delegate.cache[0][0]->children.pop_back(); // deep goes
    browser.validateVisibleColumns();
    EXPECT_EQ(delegate.rowCountCalls[0], before0 + 1);
    EXPECT_EQ(delegate.rowCountCalls[1], before1 + 1);
    EXPECT_EQ(browser.numberOfRowsInColumn(1), 2);
    EXPECT_EQ(browser.selectedRowsInColumn(0), std::vector<int>{0});
}

TEST_F(ColumnBrowserTest, MultipleSelectionWithinOneColumn) {
    clickRow(0, 1);                    // notes
    clickRow(0, 3, Qt::ShiftModifier); // notes..readme
    EXPECT_EQ(browser.selectedRowsInColumn(0), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(browser.lastColumn(), 0) << "no column opens for a multiple selection";
    clickRow(0, 2, Qt::ControlModifier); // music off
    EXPECT_EQ(browser.selectedRowsInColumn(0), (std::vector<int>{1, 3}));
    std::vector<HLNBrowserCell*> cells = browser.selectedCells();
    ASSERT_EQ(cells.size(), 2u);
    EXPECT_EQ(cells[0]->stringValue(), "notes");
    EXPECT_EQ(cells[1]->stringValue(), "readme");

    clickRow(0, 0);
    WidgetEvents::key(view(0), Qt::Key_Down, Qt::ShiftModifier);
    WidgetEvents::key(view(0), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(browser.selectedRowsInColumn(0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(actions, 6);

    // A reload drops a multiple selection; the caller restores it.
    browser.reloadColumn(0);
    EXPECT_TRUE(browser.selectedRowsInColumn(0).empty());
    browser.addRowToSelectionInColumn(2, 0);
    browser.addRowToSelectionInColumn(0, 0);
    EXPECT_EQ(browser.selectedRowsInColumn(0), (std::vector<int>{0, 2}));
    EXPECT_EQ(browser.lastColumn(), 0);
}

TEST_F(ColumnBrowserTest, DoubleClickSendsDoubleAction) {
    WidgetEvents::doubleClick(view(0)->viewport(), rowCentre(0, 1));
    EXPECT_EQ(doubleActions, 1);
    EXPECT_EQ(actions, 1) << "the first click acts, the double click's release does not";
}

TEST_F(ColumnBrowserTest, KeyboardMovesWithinAndAcrossColumns) {
    view(0)->setFocus();
    WidgetEvents::key(view(0), Qt::Key_Down);
    EXPECT_EQ(browser.selectedRowsInColumn(0), std::vector<int>{0});
    EXPECT_EQ(browser.lastColumn(), 1) << "docs opened";
    WidgetEvents::key(view(0), Qt::Key_Right);
    EXPECT_EQ(browser.selectedRowsInColumn(1), std::vector<int>{0});
    EXPECT_EQ(browser.selectedColumn(), 1);
    WidgetEvents::key(view(1), Qt::Key_Down);
    WidgetEvents::key(view(1), Qt::Key_Down);
    EXPECT_EQ(nameAt(1, browser.selectedRowInColumn(1)), "deep");
    EXPECT_EQ(browser.lastColumn(), 2);
    WidgetEvents::key(view(1), Qt::Key_Left);
    EXPECT_EQ(browser.selectedColumn(), 0);
    EXPECT_EQ(browser.lastColumn(), 1) << "the parent's listing stays in view";
    EXPECT_TRUE(browser.selectedRowsInColumn(1).empty());

    // Type-ahead finds a name, case-insensitively, and opens it.
    WidgetEvents::key(view(0), Qt::Key_M, Qt::NoModifier, "M");
    EXPECT_EQ(nameAt(0, browser.selectedRowInColumn(0)), "music");
    EXPECT_EQ(browser.lastColumn(), 1);
    EXPECT_EQ(browser.titleOfColumn(1), "music");
    WidgetEvents::key(view(0), Qt::Key_U, Qt::NoModifier, "u");
    EXPECT_EQ(nameAt(0, browser.selectedRowInColumn(0)), "music")
        << "typed quickly, letters add up";
    QApplication::setKeyboardInputInterval(1);
    QThread::msleep(20);
    WidgetEvents::key(view(0), Qt::Key_R, Qt::NoModifier, "r");
    EXPECT_EQ(nameAt(0, browser.selectedRowInColumn(0)), "readme") << "after a pause, a new search";
    QApplication::setKeyboardInputInterval(400);
    EXPECT_GE(actions, 6);
}

TEST_F(ColumnBrowserTest, ColumnWidthAndVisibleColumnLimits) {
    EXPECT_EQ(browser.maxVisibleColumns(), 15);
    EXPECT_EQ(browser.minColumnWidth(), 175);
    browser.resize(5000, 400);
    QApplication::processEvents();
    EXPECT_GE(browser.columnWidth(), 5000 / 15 - 4) << "at most 15 columns share the width";
    browser.resize(300, 400);
    QApplication::processEvents();
    EXPECT_GE(browser.columnWidth(), 175);
    browser.resize(900, 400);
    QApplication::processEvents();
    EXPECT_GE(browser.columnWidth(), 175);
    EXPECT_LE(browser.columnWidth(), 900);
}

TEST(ColumnBrowserLarge, HugeColumnMakesCellsOnlyForShownRowsAndScrollsRestorably) {
    TreeDelegate delegate;
    std::vector<NodeRef> many;
    many.reserve(200000);
    for (int i = 0; i < 200000; ++i)
        many.push_back(leaf(QString("entry %1").arg(i)));
    delegate.root = folder("big", std::move(many));
    HLNColumnBrowser browser;
    browser.setDelegate(&delegate);
    browser.resize(600, 400);
    browser.show();
    browser.loadColumnZero();
    browser.repaint();
    EXPECT_EQ(browser.numberOfRowsInColumn(0), 200000);
    EXPECT_LT(delegate.cellCalls[0], 100) << "cells are made for shown rows only";

    browser.scrollColumnToPosition(0, QPoint(0, 1234567));
    EXPECT_EQ(browser.scrollPositionOfColumn(0), QPoint(0, 1234567));
    browser.selectRowInColumn(150000, 0);
    // Entries move a long way; the selection is found again by name.
    std::reverse(delegate.root->children.begin(), delegate.root->children.end());
    browser.reloadColumn(0);
    EXPECT_EQ(browser.selectedRowsInColumn(0), std::vector<int>{49999});
    EXPECT_EQ(browser.scrollPositionOfColumn(0), QPoint(0, 1234567))
        << "a reload keeps the scroll position";
    browser.scrollColumnToPosition(0, QPoint(0, 40));
    EXPECT_EQ(browser.scrollPositionOfColumn(0), QPoint(0, 40));
}

} // namespace
