#include "browser/HLNColumnBrowser.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QFontMetricsF>
#include <QItemSelection>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <optional>

QString HLNColumnBrowserDelegate::browserTitleOfColumn(HLNColumnBrowser*, int) {
    return QString();
}
bool HLNColumnBrowserDelegate::browserIsColumnValid(HLNColumnBrowser*, int) {
    return true;
}

struct HLNColumnBrowser::Column {
    QWidget* frame = nullptr;
    QLabel* title = nullptr;
    ColumnView* view = nullptr;
    ColumnModel* model = nullptr;
    QString titleText;
    int rowCount = 0;
    // Cells made so far for this load of the column; null until shown.
    std::vector<std::unique_ptr<HLNBrowserCell>> cells;
    // The selected rows, ascending, counted once per change of the
    // selection: they are asked for many times per event, and counting a
    // large selection each time made every refresh quadratic.
    mutable std::optional<std::vector<int>> selectedRows;
    int selectionChanges = 0; // any change, by the user or not
};

// ---------------------------------------------------------------------------
// One column's rows as Qt sees them: only a count. Everything drawn comes
// from the browser's cells, so the model never copies the delegate's data.
class HLNColumnBrowser::ColumnModel : public QAbstractListModel {
public:
    ColumnModel(HLNColumnBrowser* browser, int column, QObject* parent)
        : QAbstractListModel(parent), _browser(browser), _column(column) {}

    int rowCount(const QModelIndex& parent) const override {
        if (parent.isValid() || _column >= _browser->_loadedCount)
            return 0;
        return _browser->_columns[_column]->rowCount;
    }
    // The view asks for every row's index when it lays a column out: this
    // spares the two virtual calls a row that the base class's check makes.
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override {
        return column == 0 && row >= 0 && row < rowCount(parent) ? createIndex(row, 0)
                                                                 : QModelIndex();
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::ToolTipRole)
            return _browser->toolTipOfRow(index.row(), _column);
        if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
            return QVariant();
        HLNBrowserCell* cell = _browser->loadedCellAtRow(index.row(), _column);
        return cell ? QVariant(cell->stringValue()) : QVariant();
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }
    void resetWith(const std::function<void()>& change) {
        beginResetModel();
        change();
        endResetModel();
    }

private:
    HLNColumnBrowser* _browser;
    int _column;
};

// Paints a row by handing it to its cell.
class HLNColumnBrowser::CellPainter : public QStyledItemDelegate {
public:
    CellPainter(HLNColumnBrowser* browser, int column, QObject* parent)
        : QStyledItemDelegate(parent), _browser(browser), _column(column) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt(option);
        opt.features &= ~QStyleOptionViewItem::HasDisplay;
        opt.text.clear();
        if ((opt.state & QStyle::State_Selected) && _column < _browser->selectedColumn()) {
            // A row on the path to the selection, not part of it: paler,
            // with ordinary text, so that what a command acts on stands out.
            for (auto group : {QPalette::Active, QPalette::Inactive}) {
                const QColor h = opt.palette.color(group, QPalette::Highlight);
                const QColor b = opt.palette.color(group, QPalette::Base);
                opt.palette.setColor(group, QPalette::Highlight,
                                     QColor((h.red() + 2 * b.red()) / 3,
                                            (h.green() + 2 * b.green()) / 3,
                                            (h.blue() + 2 * b.blue()) / 3));
                opt.palette.setColor(group, QPalette::HighlightedText,
                                     opt.palette.color(group, QPalette::Text));
            }
        }
        QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, opt.widget);
        if (HLNBrowserCell* cell = _browser->loadedCellAtRow(index.row(), _column))
            cell->drawWithFrame(painter, option.rect, opt);
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return QSize(_browser->columnWidth(), _browser->rowHeight());
    }

private:
    HLNColumnBrowser* _browser;
    int _column;
};

// A column's list: adds column-to-column keyboard moves, type-ahead on cell
// string values and the browser's click actions.
class HLNColumnBrowser::ColumnView : public QListView {
public:
    ColumnView(HLNColumnBrowser* browser, int column, QWidget* parent)
        : QListView(parent), _browser(browser), _column(column) {}

    void keyboardSearch(const QString& search) override {
        if (search.isEmpty())
            return;
        const bool continuing = _typed.isValid() &&
                                _typed.elapsed() < QApplication::keyboardInputInterval() &&
                                !_typedText.isEmpty();
        _typedText = continuing ? _typedText + search : search;
        _typed.start();
        _browser->typeAhead(_column, _typedText, continuing);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        // Keys with other modifiers (Ctrl+A, Ctrl+Space) still change the
        // selection through the list itself, and are told as the browser's action.
        const bool plain = !(event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier));
        switch (plain ? event->key() : 0) {
        case Qt::Key_Right:
            _browser->moveRight(_column);
            return;
        case Qt::Key_Left:
            _browser->moveLeft(_column);
            return;
        case Qt::Key_Down:
        case Qt::Key_Up:
            // With nothing selected yet, the first arrow picks the end it points from.
            if (!selectionModel()->hasSelection() && model()->rowCount() > 0) {
                const int row = event->key() == Qt::Key_Down ? 0 : model()->rowCount() - 1;
                _browser->selectRowInColumn(row, _column);
                scrollTo(model()->index(row, 0));
                emit _browser->action();
                return;
            }
            break;
        default:
            break;
        }
        const int before = _browser->_columns[_column]->selectionChanges;
        QListView::keyPressEvent(event);
        if (_browser->_columns[_column]->selectionChanges != before)
            emit _browser->action();
    }
    void mousePressEvent(QMouseEvent* event) override {
        _pressed = true;
        QListView::mousePressEvent(event);
        // A click on a row makes this column the one acted on, also when
        // the row was selected already: what was selected to its right is
        // not any more (the column it opened stays shown).
        if (indexAt(event->position().toPoint()).isValid())
            _browser->clearSelectionRightOf(_column);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        QListView::mouseReleaseEvent(event);
        if (!_pressed)
            return; // the release of a double click: doubleAction has been sent
        _pressed = false;
        if (event->button() == Qt::LeftButton)
            emit _browser->action();
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        emit _browser->contextMenuRequested(event->globalPos());
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        _pressed = false;
        QListView::mouseDoubleClickEvent(event);
        if (event->button() == Qt::LeftButton && indexAt(event->position().toPoint()).isValid())
            emit _browser->doubleAction();
    }

private:
    HLNColumnBrowser* _browser;
    int _column;
    bool _pressed = false;
    QElapsedTimer _typed;
    QString _typedText;
};

// The row of columns: a list background with a divider after every column
// slot, so the room right of the last loaded column reads as empty columns.
class ColumnStrip : public QWidget {
public:
    explicit ColumnStrip(std::function<int()> columnWidth) : _columnWidth(std::move(columnWidth)) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), palette().color(QPalette::Base));
        painter.setPen(palette().color(QPalette::Mid));
        const int width = std::max(1, _columnWidth());
        for (int x = width - 1; x < this->width(); x += width)
            painter.drawLine(x, 0, x, height());
    }

private:
    std::function<int()> _columnWidth;
};

// ---------------------------------------------------------------------------

HLNColumnBrowser::HLNColumnBrowser(QWidget* parent)
    : QWidget(parent), _prototype(std::make_unique<HLNBrowserCell>()) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    _scrollArea = new QScrollArea(this);
    _scrollArea->setWidgetResizable(false);
    _scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    _scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    _scrollArea->setFrameShape(QFrame::StyledPanel);
    _strip = new ColumnStrip([this] { return columnWidth(); });
    _scrollArea->setWidget(_strip);
    _scrollArea->viewport()->installEventFilter(this);
    layout->addWidget(_scrollArea);
    setMinimumSize(_minColumnWidth, 120);
}

HLNColumnBrowser::~HLNColumnBrowser() = default;

void HLNColumnBrowser::setCellPrototype(std::unique_ptr<HLNBrowserCell> prototype) {
    _prototype = prototype ? std::move(prototype) : std::make_unique<HLNBrowserCell>();
    _probe.reset();
    layoutColumns();
}

void HLNColumnBrowser::setMaxVisibleColumns(int count) {
    _maxVisibleColumns = std::max(1, count);
    layoutColumns();
}

void HLNColumnBrowser::setMinColumnWidth(int width) {
    _minColumnWidth = std::max(1, width);
    setMinimumWidth(_minColumnWidth);
    layoutColumns();
}

void HLNColumnBrowser::setAllowsMultipleSelection(bool allows) {
    _multipleSelection = allows;
    for (auto& column : _columns)
        column->view->setSelectionMode(allows ? QAbstractItemView::ExtendedSelection
                                              : QAbstractItemView::SingleSelection);
}

int HLNColumnBrowser::columnWidth() const {
    // As many columns as fit at one and a half times the minimum width (up
    // to the maximum), sharing the width; never narrower than the minimum.
    const int available = _scrollArea->viewport()->width();
    const int count = std::clamp(available * 2 / (_minColumnWidth * 3), 1, _maxVisibleColumns);
    return std::max(_minColumnWidth, available / count);
}

int HLNColumnBrowser::rowHeight() const {
    return _prototype->cellHeight(font());
}

HLNColumnBrowser::Column& HLNColumnBrowser::columnAt(int column) {
    while (static_cast<int>(_columns.size()) <= column) {
        const int index = static_cast<int>(_columns.size());
        auto c = std::make_unique<Column>();
        c->frame = new QWidget(_strip);
        auto* box = new QVBoxLayout(c->frame);
        box->setContentsMargins(0, 0, 1, 0);
        box->setSpacing(2);
        c->title = new QLabel(c->frame);
        c->title->setAlignment(Qt::AlignCenter);
        c->title->setTextFormat(Qt::PlainText);
        c->title->setContentsMargins(4, 3, 4, 1);
        QFont titleFont = c->title->font();
        titleFont.setBold(true);
        c->title->setFont(titleFont);
        box->addWidget(c->title);
        c->view = new ColumnView(this, index, c->frame);
        c->model = new ColumnModel(this, index, c->view);
        c->view->setModel(c->model);
        c->view->setItemDelegate(new CellPainter(this, index, c->view));
        c->view->setUniformItemSizes(true);
        c->view->setSelectionMode(_multipleSelection ? QAbstractItemView::ExtendedSelection
                                                     : QAbstractItemView::SingleSelection);
        c->view->setSelectionBehavior(QAbstractItemView::SelectRows);
        c->view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        c->view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        c->view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        c->view->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        c->view->setFrameShape(QFrame::NoFrame);
        c->view->setDragEnabled(false);
        c->view->setAcceptDrops(false);
        box->addWidget(c->view, 1);
        connect(c->view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this, index] {
                    Column& changed = *_columns[index];
                    changed.selectedRows.reset();
                    ++changed.selectionChanges;
                    selectionChangedByUser(index);
                });
        // A reset drops the selection without telling selectionChanged.
        connect(c->model, &QAbstractItemModel::modelReset, this,
                [this, index] { _columns[index]->selectedRows.reset(); });
        c->frame->hide();
        _columns.push_back(std::move(c));
    }
    return *_columns[column];
}

void HLNColumnBrowser::loadColumn(int column) {
    Column& c = columnAt(column);
    _loadedCount = std::max(_loadedCount, column + 1);
    ++_programmatic;
    c.model->resetWith([&] {
        c.cells.clear();
        c.rowCount =
            _delegate ? std::max(0, _delegate->browserNumberOfRowsInColumn(this, column)) : 0;
        c.cells.resize(c.rowCount);
    });
    c.view->selectionModel()->clear();
    --_programmatic;
    c.titleText = _delegate ? _delegate->browserTitleOfColumn(this, column) : QString();
    c.title->setText(c.titleText);
    c.frame->show();
    layoutColumns();
}

void HLNColumnBrowser::closeColumnsAfter(int column) {
    const int keep = std::max(0, column + 1);
    bool focusLost = false;
    for (int i = keep; i < _loadedCount; ++i) {
        Column& c = *_columns[i];
        focusLost = focusLost || c.view->hasFocus();
        ++_programmatic;
        c.view->selectionModel()->clear();
        c.model->resetWith([&] {
            c.cells.clear();
            c.rowCount = 0;
        });
        --_programmatic;
        c.frame->hide();
    }
    _loadedCount = std::min(_loadedCount, keep);
    if (focusLost && column >= 0 && column < _loadedCount)
        _columns[column]->view->setFocus();
    layoutColumns();
}

void HLNColumnBrowser::loadColumnZero() {
    closeColumnsAfter(-1);
    loadColumn(0);
}

void HLNColumnBrowser::reloadColumn(int column) {
    if (column < 0 || column >= _loadedCount)
        return;
    Column& c = *_columns[column];
    const std::vector<int> rows = selectedRowsInColumn(column);
    QString kept;
    const bool single = rows.size() == 1;
    if (single)
        if (HLNBrowserCell* cell = loadedCellAtRow(rows[0], column))
            kept = cell->stringValue();
    const QPoint scroll = scrollPositionOfColumn(column);
    const bool hadFocus = c.view->hasFocus();

    ++_programmatic;
    c.model->resetWith([&] {
        c.cells.clear();
        c.rowCount =
            _delegate ? std::max(0, _delegate->browserNumberOfRowsInColumn(this, column)) : 0;
        c.cells.resize(c.rowCount);
    });
    c.view->selectionModel()->clear();
    const int found = single ? findRowWithStringValue(column, kept, rows[0]) : -1;
    if (found >= 0)
        setSingleSelection(column, found);
    --_programmatic;

    c.titleText = _delegate ? _delegate->browserTitleOfColumn(this, column) : QString();
    c.title->setText(c.titleText);
    scrollColumnToPosition(column, scroll); // lays the rows out once
    if (hadFocus)
        c.view->setFocus();

    const bool branch = found >= 0 && !loadedCellAtRow(found, column)->isLeaf();
    if (!branch)
        closeColumnsAfter(column);
    else if (column + 1 >= _loadedCount)
        loadColumn(column + 1);
}

void HLNColumnBrowser::validateVisibleColumns() {
    if (!_delegate)
        return;
    for (int c = std::max(0, firstVisibleColumn()); c <= lastVisibleColumn(); ++c)
        if (!_delegate->browserIsColumnValid(this, c))
            reloadColumn(c);
}

int HLNColumnBrowser::firstVisibleColumn() const {
    if (_loadedCount == 0)
        return -1;
    return std::min(_loadedCount - 1, _scrollArea->horizontalScrollBar()->value() / columnWidth());
}

int HLNColumnBrowser::lastVisibleColumn() const {
    if (_loadedCount == 0)
        return -1;
    const int right =
        _scrollArea->horizontalScrollBar()->value() + _scrollArea->viewport()->width() - 1;
    return std::min(_loadedCount - 1, std::max(0, right) / columnWidth());
}

int HLNColumnBrowser::numberOfRowsInColumn(int column) const {
    return column >= 0 && column < _loadedCount ? _columns[column]->rowCount : 0;
}

int HLNColumnBrowser::selectedColumn() const {
    for (int c = _loadedCount - 1; c >= 0; --c)
        if (_columns[c]->view->selectionModel()->hasSelection())
            return c;
    return -1;
}

std::vector<int> HLNColumnBrowser::selectedRowsInColumn(int column) const {
    if (column < 0 || column >= _loadedCount)
        return {};
    const Column& c = *_columns[column];
    if (!c.selectedRows) {
        std::vector<int> rows;
        // The ranges, not selectedRows(): that one builds an index per row
        // and checks each against the whole selection.
        for (const QItemSelectionRange& range : c.view->selectionModel()->selection())
            for (int row = range.top(); row <= range.bottom(); ++row)
                rows.push_back(row);
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        c.selectedRows = std::move(rows);
    }
    return *c.selectedRows;
}

int HLNColumnBrowser::selectedRowInColumn(int column) const {
    std::vector<int> rows = selectedRowsInColumn(column);
    return rows.empty() ? -1 : rows.front();
}

std::vector<HLNBrowserCell*> HLNColumnBrowser::selectedCells() {
    std::vector<HLNBrowserCell*> cells;
    const int column = selectedColumn();
    for (int row : selectedRowsInColumn(column))
        if (HLNBrowserCell* cell = loadedCellAtRow(row, column))
            cells.push_back(cell);
    return cells;
}

HLNBrowserCell* HLNColumnBrowser::loadedCellAtRow(int row, int column) {
    if (column < 0 || column >= _loadedCount)
        return nullptr;
    Column& c = *_columns[column];
    if (row < 0 || row >= c.rowCount)
        return nullptr;
    std::unique_ptr<HLNBrowserCell>& cell = c.cells[row];
    if (!cell) {
        cell = _prototype->copy();
        if (_delegate)
            _delegate->browserWillDisplayCell(this, cell.get(), row, column);
    }
    return cell.get();
}

void HLNColumnBrowser::setSingleSelection(int column, int row) {
    Column& c = *_columns[column];
    const QModelIndex index = c.model->index(row, 0);
    // Programmatic selection leaves the scroll position alone.
    c.view->setAutoScroll(false);
    c.view->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect);
    c.view->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    c.view->setAutoScroll(true);
}

void HLNColumnBrowser::selectRowInColumn(int row, int column) {
    if (row < 0 || row >= numberOfRowsInColumn(column))
        return;
    ++_programmatic;
    setSingleSelection(column, row);
    --_programmatic;
    updateColumnsAfterSelectionChange(column);
}

void HLNColumnBrowser::addRowToSelectionInColumn(int row, int column) {
    addRowsToSelectionInColumn({row}, column);
}

void HLNColumnBrowser::addRowsToSelectionInColumn(const std::vector<int>& rows, int column) {
    const int count = numberOfRowsInColumn(column);
    Column* c = count > 0 ? _columns[column].get() : nullptr;
    std::vector<int> valid;
    for (int row : rows)
        if (row >= 0 && row < count)
            valid.push_back(row);
    if (valid.empty())
        return;
    // The last row named is the current one; without multiple selection it
    // is also the only one selected.
    const int last = valid.back();
    if (!_multipleSelection)
        valid = {last};
    std::sort(valid.begin(), valid.end());
    // One call with contiguous ranges: selecting row by row merges the
    // whole selection each time.
    QItemSelection selection;
    for (size_t i = 0; i < valid.size();) {
        size_t j = i;
        while (j + 1 < valid.size() && valid[j + 1] <= valid[j] + 1)
            ++j;
        selection.select(c->model->index(valid[i], 0), c->model->index(valid[j], 0));
        i = j + 1;
    }
    ++_programmatic;
    c->view->setAutoScroll(false);
    c->view->selectionModel()->select(selection, _multipleSelection
                                                     ? QItemSelectionModel::Select
                                                     : QItemSelectionModel::ClearAndSelect);
    c->view->selectionModel()->setCurrentIndex(c->model->index(last, 0),
                                               QItemSelectionModel::NoUpdate);
    c->view->setAutoScroll(true);
    --_programmatic;
    updateColumnsAfterSelectionChange(column);
}

void HLNColumnBrowser::clearSelectionInColumn(int column) {
    if (column < 0 || column >= _loadedCount)
        return;
    ++_programmatic;
    _columns[column]->view->selectionModel()->clearSelection();
    --_programmatic;
    closeColumnsAfter(column);
}

void HLNColumnBrowser::clearSelectionRightOf(int column) {
    const int next = column + 1;
    if (column < 0 || next >= _loadedCount)
        return;
    ++_programmatic;
    for (int c = next; c < _loadedCount; ++c)
        _columns[c]->view->selectionModel()->clearSelection();
    --_programmatic;
    closeColumnsAfter(next);
    // The path rows are drawn apart from the selection acted on.
    for (int c = 0; c < _loadedCount; ++c)
        _columns[c]->view->viewport()->update();
}

void HLNColumnBrowser::selectionChangedByUser(int column) {
    if (_programmatic > 0 || column >= _loadedCount)
        return;
    updateColumnsAfterSelectionChange(column);
}

void HLNColumnBrowser::updateColumnsAfterSelectionChange(int column) {
    const std::vector<int> rows = selectedRowsInColumn(column);
    HLNBrowserCell* cell = rows.size() == 1 ? loadedCellAtRow(rows[0], column) : nullptr;
    closeColumnsAfter(column);
    if (cell && !cell->isLeaf()) {
        loadColumn(column + 1);
        scrollToLastColumn();
    }
}

int HLNColumnBrowser::findRowWithStringValue(int column, const QString& value, int nearRow) {
    const int count = numberOfRowsInColumn(column);
    if (count == 0)
        return -1;
    if (!_probe)
        _probe = _prototype->copy();
    auto matches = [&](int row) {
        if (HLNBrowserCell* loaded = _columns[column]->cells[row].get())
            return loaded->stringValue() == value;
        if (_delegate)
            _delegate->browserWillDisplayCell(this, _probe.get(), row, column);
        return _probe->stringValue() == value;
    };
    // Entries move little between two sorts: look near the old row first.
    nearRow = std::clamp(nearRow, 0, count - 1);
    for (int d = 0; d < count; ++d) {
        if (nearRow + d < count && matches(nearRow + d))
            return nearRow + d;
        if (d > 0 && nearRow - d >= 0 && matches(nearRow - d))
            return nearRow - d;
        if (nearRow + d >= count && nearRow - d < 0)
            break;
    }
    return -1;
}

void HLNColumnBrowser::moveRight(int column) {
    const int next = column + 1;
    if (next >= _loadedCount || numberOfRowsInColumn(next) == 0)
        return;
    Column& c = *_columns[next];
    c.view->setFocus();
    if (!c.view->selectionModel()->hasSelection()) {
        selectRowInColumn(0, next);
        c.view->scrollTo(c.model->index(0, 0));
        emit action();
    }
}

void HLNColumnBrowser::moveLeft(int column) {
    if (column <= 0 || column >= _loadedCount)
        return;
    clearSelectionInColumn(column);
    Column& left = *_columns[column - 1];
    left.view->setFocus();
    const int row = selectedRowInColumn(column - 1);
    if (row >= 0) {
        left.view->selectionModel()->setCurrentIndex(left.model->index(row, 0),
                                                     QItemSelectionModel::NoUpdate);
        left.view->scrollTo(left.model->index(row, 0));
    }
    _scrollArea->ensureWidgetVisible(left.frame, 0, 0);
    emit action();
}

void HLNColumnBrowser::typeAhead(int column, const QString& text, bool continuing) {
    const int count = numberOfRowsInColumn(column);
    if (count == 0)
        return;
    if (!_probe)
        _probe = _prototype->copy();
    const int current = std::max(0, _columns[column]->view->currentIndex().row());
    const int start = continuing ? current : current + 1;
    for (int i = 0; i < count; ++i) {
        const int row = (start + i) % count;
        HLNBrowserCell* cell = _columns[column]->cells[row].get();
        if (!cell) {
            if (_delegate)
                _delegate->browserWillDisplayCell(this, _probe.get(), row, column);
            cell = _probe.get();
        }
        if (cell->stringValue().startsWith(text, Qt::CaseInsensitive)) {
            selectRowInColumn(row, column);
            _columns[column]->view->scrollTo(_columns[column]->model->index(row, 0));
            return;
        }
    }
}

QVariant HLNColumnBrowser::toolTipOfRow(int row, int column) {
    HLNBrowserCell* cell = loadedCellAtRow(row, column);
    if (!cell)
        return QVariant();
    qreal width = 0;
    for (const HLNTextRun& run : cell->attributedStringValue())
        width += QFontMetricsF(run.font).horizontalAdvance(run.text);
    const int room = columnWidth() - HLNBrowserCell::textInset -
                     (cell->isLeaf() ? HLNBrowserCell::textInset : HLNBrowserCell::arrowWidth);
    // Only a row drawn shortened says its whole name.
    return width > room ? QVariant(cell->stringValue()) : QVariant();
}

QString HLNColumnBrowser::titleOfColumn(int column) const {
    return column >= 0 && column < static_cast<int>(_columns.size()) ? _columns[column]->titleText
                                                                     : QString();
}

void HLNColumnBrowser::setTitleOfColumn(const QString& title, int column) {
    if (column < 0)
        return;
    Column& c = columnAt(column);
    c.titleText = title;
    c.title->setText(title);
}

QPoint HLNColumnBrowser::scrollPositionOfColumn(int column) const {
    if (column < 0 || column >= _loadedCount)
        return QPoint();
    const ColumnView* view = _columns[column]->view;
    return QPoint(view->horizontalScrollBar()->value(), view->verticalScrollBar()->value());
}

void HLNColumnBrowser::scrollColumnToPosition(int column, const QPoint& position) {
    if (column < 0 || column >= _loadedCount)
        return;
    ColumnView* view = _columns[column]->view;
    view->doItemsLayout(); // the scroll ranges must match the rows now loaded
    view->horizontalScrollBar()->setValue(position.x());
    view->verticalScrollBar()->setValue(position.y());
}

QWidget* HLNColumnBrowser::viewOfColumn(int column) const {
    return column >= 0 && column < _loadedCount ? _columns[column]->view : nullptr;
}

void HLNColumnBrowser::layoutColumns() {
    if (!_scrollArea)
        return;
    const QSize viewport = _scrollArea->viewport()->size();
    const int width = columnWidth();
    _strip->resize(std::max(_loadedCount * width, viewport.width()), viewport.height());
    for (int i = 0; i < static_cast<int>(_columns.size()); ++i) {
        Column& c = *_columns[i];
        if (i < _loadedCount) {
            c.frame->setGeometry(i * width, 0, width, viewport.height());
            c.frame->show();
        } else {
            c.frame->hide();
        }
    }
}

void HLNColumnBrowser::scrollToLastColumn() {
    if (_loadedCount == 0)
        return;
    QScrollBar* bar = _scrollArea->horizontalScrollBar();
    const int right = _loadedCount * columnWidth();
    const int viewport = _scrollArea->viewport()->width();
    if (right > bar->value() + viewport)
        bar->setValue(right - viewport);
}

bool HLNColumnBrowser::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _scrollArea->viewport() && event->type() == QEvent::Resize)
        layoutColumns();
    return QWidget::eventFilter(watched, event);
}
