#pragma once

#include "browser/HLNBrowserCell.h"

#include <QPoint>
#include <QWidget>
#include <memory>
#include <vector>

class HLNColumnBrowser;
class QScrollArea;

// What a column browser asks of the object that feeds it. Columns are
// numbered from 0 at the left; column c >= 1 lists what the single selected
// row of column c - 1 stands for.
class HLNColumnBrowserDelegate {
public:
    virtual int browserNumberOfRowsInColumn(HLNColumnBrowser* browser, int column) = 0;
    // Fill the cell shown at the row (a copy of the browser's prototype).
    virtual void browserWillDisplayCell(HLNColumnBrowser* browser, HLNBrowserCell* cell, int row,
                                        int column) = 0;
    virtual QString browserTitleOfColumn(HLNColumnBrowser* browser, int column);
    // Columns answered false are reloaded by validateVisibleColumns().
    virtual bool browserIsColumnValid(HLNColumnBrowser* browser, int column);

protected:
    ~HLNColumnBrowserDelegate() = default;
};

// A horizontal, scrolling row of list columns.
//
// Contract:
// - Loading or reloading a column asks the delegate anew for its row count;
//   every cell is asked for again (browserWillDisplayCell) when next shown.
//   Cells are made only for rows that are shown, so a column of a few
//   hundred thousand rows costs one small object per row on screen.
// - A single selected row in a reloaded column stays selected on the same
//   entry, found again by its cell's stringValue(); the columns to its right
//   stay loaded. Otherwise (no single selection, or the entry is gone) the
//   columns to the right are closed. A multiple selection is dropped.
// - Selecting one branch row opens the next column; anything else closes it.
// - Several rows of one column can be selected (shift/ctrl-click,
//   shift-arrows); only the rightmost column with a selection counts, and
//   that is always the column last clicked or keyed in: a click on a row
//   clears the selection to its right. Rows selected left of it (the path
//   to it) are drawn in a paler highlight.
// - action() is emitted after each click and each keyboard change of the
//   selection, doubleAction() on a double click, contextMenuRequested()
//   on a right click. Programmatic selection emits nothing.
// Main thread only.
class HLNColumnBrowser : public QWidget {
    Q_OBJECT
public:
    explicit HLNColumnBrowser(QWidget* parent = nullptr);
    ~HLNColumnBrowser() override;

    // Not owned; must outlive the browser or be cleared first.
    void setDelegate(HLNColumnBrowserDelegate* delegate) { _delegate = delegate; }
    HLNColumnBrowserDelegate* delegate() const { return _delegate; }
    // Every row shows a copy of the prototype (a plain cell by default).
    void setCellPrototype(std::unique_ptr<HLNBrowserCell> prototype);
    const HLNBrowserCell* cellPrototype() const { return _prototype.get(); }

    void setMaxVisibleColumns(int count);
    int maxVisibleColumns() const { return _maxVisibleColumns; }
    void setMinColumnWidth(int width);
    int minColumnWidth() const { return _minColumnWidth; }
    // Width every column currently has.
    int columnWidth() const;
    void setAllowsMultipleSelection(bool allows);

    // Closes every column and loads column 0 afresh.
    void loadColumnZero();
    void reloadColumn(int column);
    // Reloads each visible column whose delegate says it is not valid.
    void validateVisibleColumns();

    // Index of the rightmost loaded column; -1 when nothing is loaded.
    int lastColumn() const { return _loadedCount - 1; }
    int firstVisibleColumn() const;
    int lastVisibleColumn() const;
    int numberOfRowsInColumn(int column) const;

    // Rightmost column holding a selection; -1 when nothing is selected.
    int selectedColumn() const;
    // Selected rows of the column, in row order.
    std::vector<int> selectedRowsInColumn(int column) const;
    // The first selected row of the column, or -1.
    int selectedRowInColumn(int column) const;
    // Cells of the selected rows of the selected column, in row order.
    std::vector<HLNBrowserCell*> selectedCells();
    // The cell at the row, asking the delegate for it if it is not loaded
    // yet; null outside the column.
    HLNBrowserCell* loadedCellAtRow(int row, int column);

    // Selects exactly that row, as a click would (opens or closes the
    // columns to the right) but without emitting action().
    void selectRowInColumn(int row, int column);
    // Adds the row to the column's selection (columns to the right close
    // once more than one row is selected). Emits nothing.
    void addRowToSelectionInColumn(int row, int column);
    // The same for several rows at once; the columns to the right are
    // worked out once, after all of them are selected.
    void addRowsToSelectionInColumn(const std::vector<int>& rows, int column);
    void clearSelectionInColumn(int column);
    // Clears the selection of every column right of the column and closes
    // all but the one next to it, which stays shown: the column becomes the
    // one acted on. Emits nothing.
    void clearSelectionRightOf(int column);

    // The row's whole name when it is drawn shortened, else nothing.
    QVariant toolTipOfRow(int row, int column);
    QString titleOfColumn(int column) const;
    void setTitleOfColumn(const QString& title, int column);

    // A column's scroll position (its visible area's top-left, in pixels).
    QPoint scrollPositionOfColumn(int column) const;
    void scrollColumnToPosition(int column, const QPoint& position);

    // The list view of a loaded column (for focus and tests); null otherwise.
    QWidget* viewOfColumn(int column) const;

signals:
    void action();
    void doubleAction();
    // A right click (or the menu key) in a column, after the click has
    // selected what it selects; the position is global.
    void contextMenuRequested(const QPoint& globalPosition);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Column;
    class ColumnModel;
    class ColumnView;
    class CellPainter;
    friend class ColumnModel;
    friend class ColumnView;
    friend class CellPainter;

    Column& columnAt(int column);
    void loadColumn(int column);
    void closeColumnsAfter(int column);
    void selectionChangedByUser(int column);
    void updateColumnsAfterSelectionChange(int column);
    void layoutColumns();
    void scrollToLastColumn();
    int findRowWithStringValue(int column, const QString& value, int nearRow);
    void setSingleSelection(int column, int row);
    void moveLeft(int column);
    void moveRight(int column);
    void typeAhead(int column, const QString& text, bool continuing);
    int rowHeight() const;

    HLNColumnBrowserDelegate* _delegate = nullptr;
    std::unique_ptr<HLNBrowserCell> _prototype;
    std::unique_ptr<HLNBrowserCell> _probe;        // reused to read string values while searching
    std::vector<std::unique_ptr<Column>> _columns; // widgets are kept and reused
    int _loadedCount = 0;
    int _maxVisibleColumns = 15;
    int _minColumnWidth = 175;
    bool _multipleSelection = true;
    int _programmatic = 0; // > 0 while the browser itself changes selections
    QScrollArea* _scrollArea = nullptr;
    QWidget* _strip = nullptr;
};
