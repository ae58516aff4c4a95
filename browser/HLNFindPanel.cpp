#include "browser/HLNFindPanel.h"

#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileTreeController.h"
#include "browser/HLNTreemapPainter.h"
#include "toolkit/TFMainThread.h"
#include "toolkit/TFString.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPixmap>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace {

// The Kinds list has no dates: its third column is its items and share.
enum Column { PathColumn, SizeColumn, ItemsColumn, DateColumn };
constexpr int kNodeRole = Qt::UserRole, kSortRole = Qt::UserRole + 1;

// Rows sort by their numbers (bytes, seconds), not their text.
class ResultItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        if (column == PathColumn)
            return text(column) < other.text(column);
        return data(column, kSortRole).toLongLong() < other.data(column, kSortRole).toLongLong();
    }
};

} // namespace

bool HLNFindPanel::parseSize(const QString& text, uint64_t& bytes) {
    static const QRegularExpression form(R"(^\s*(\d+(?:[.,]\d+)?)\s*([kmgt]?)i?b?\s*$)",
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    QString number = m.captured(1);
    number.replace(',', '.');
    const QString unit = m.captured(2).toLower();
    const int power = unit.isEmpty() ? 0 : QString("kmgt").indexOf(unit) + 1;
    const double value = number.toDouble() * std::pow(1024.0, power);
    if (!(value < 1.8e19))
        return false;
    bytes = static_cast<uint64_t>(value);
    return true;
}

HLNFindPanel::HLNFindPanel(Ref<HLNFile> root, QWidget* parent)
    : QWidget(parent), _root(std::move(root)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* bar = new QHBoxLayout;
    _choice = new QComboBox(this);
    _choice->addItems({"Matches", "Largest Files", "Cleanup Candidates", "Kinds"});
    _name = new QLineEdit(this);
    _name->setPlaceholderText("Name, or a pattern such as *.iso");
    _name->setClearButtonEnabled(true);
    _atLeast = new QLineEdit(this);
    _atLeast->setPlaceholderText("At least");
    _atMost = new QLineEdit(this);
    _atMost->setPlaceholderText("At most");
    for (QLineEdit* size : {_atLeast, _atMost}) {
        size->setToolTip("A size such as 100M or 2G");
        size->setMaximumWidth(90);
    }
    _older = new QSpinBox(this);
    _newer = new QSpinBox(this);
    _older->setPrefix("Older than ");
    _newer->setPrefix("Newer than ");
    for (QSpinBox* days : {_older, _newer}) {
        days->setRange(0, 100000);
        days->setSuffix(" days");
        days->setSpecialValueText(days == _older ? "Any age" : "Any date");
        days->setEnabled(!_root->isImported()); // a scan keeps no dates
    }
    _kind = new QComboBox(this);
    _kind->addItem("Any kind");
    for (uint8_t kind = 0; kind < HLNFileKind::KindCount; ++kind)
        _kind->addItem(HLNTreemapPainter::nameOfKind(kind));
    _type = new QComboBox(this);
    _type->addItems({"Files and folders", "Files", "Folders"});
    bar->addWidget(_choice);
    bar->addWidget(_name, 1);
    for (QWidget* w :
         std::initializer_list<QWidget*>{_atLeast, _atMost, _older, _newer, _kind, _type})
        bar->addWidget(w);
    layout->addLayout(bar);

    _results = new QTreeWidget(this);
    _results->setColumnCount(4);
    _results->setHeaderLabels({"Path", "Size", "Items", "Modified"});
    _results->setRootIsDecorated(false);
    _results->setUniformRowHeights(true);
    _results->setSelectionMode(QAbstractItemView::ExtendedSelection);
    _results->setSortingEnabled(true);
    _results->sortByColumn(SizeColumn, Qt::DescendingOrder);
    _results->header()->setSectionResizeMode(PathColumn, QHeaderView::Stretch);
    for (int column : {SizeColumn, ItemsColumn, DateColumn})
        _results->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    _results->header()->setStretchLastSection(false);
    layout->addWidget(_results, 1);
    _count = new QLabel(this);
    layout->addWidget(_count);

    auto again = [this] { search(); };
    connect(_name, &QLineEdit::textChanged, this, again);
    connect(_atLeast, &QLineEdit::textChanged, this, again);
    connect(_atMost, &QLineEdit::textChanged, this, again);
    connect(_older, &QSpinBox::valueChanged, this, again);
    connect(_newer, &QSpinBox::valueChanged, this, again);
    for (QComboBox* box : {_choice, _kind, _type})
        connect(box, &QComboBox::currentIndexChanged, this, again);
    connect(_results, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (_choice->currentIndex() == int(Choice::Kinds)) {
            _actsOnResults = false;
            _highlightChosen();
            return;
        }
        if (_showingGone) {
            _actsOnResults = false;
            return;
        }
        const QList<QTreeWidgetItem*> rows = _results->selectedItems();
        _actsOnResults = rows.size() > 1;
        if (_actsOnResults && onChooseSeveral)
            onChooseSeveral();
        if (rows.size() != 1 || !onChoose)
            return;
        const Ref<HLNFile>& node =
            _shown[size_t(rows.front()->data(PathColumn, kNodeRole).toULongLong())];
        if (!node->isInvalidated()) // gone since the list was made
            onChoose(node);
    });
    installEventFilter(this);
    for (QObject* child : children())
        child->installEventFilter(this);
    setFocusProxy(_name);
}

bool HLNFindPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Escape && onClose) {
            onClose();
            return true;
        }
        if (watched == _results && key == Qt::Key_Delete && onDelete) {
            onDelete();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

HLNFinder::Criteria HLNFindPanel::_criteria() const {
    HLNFinder::Criteria criteria;
    const QByteArray name = _name->text().toUtf8();
    if (!name.isEmpty()) {
        // A part of a name, unless it is a pattern; letters of either case.
        criteria.nameGlob = name.contains('*') || name.contains('?') || name.contains('[')
                                ? name.toStdString()
                                : "*" + name.toStdString() + "*";
        criteria.ignoreCase = true;
    }
    uint64_t bytes = 0;
    if (parseSize(_atLeast->text(), bytes) && bytes > 0)
        criteria.largerThan = bytes - 1;
    if (parseSize(_atMost->text(), bytes))
        criteria.smallerThan = bytes + 1;
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    if (_older->value() > 0)
        criteria.modifiedBefore = now - int64_t(_older->value()) * 86400;
    if (_newer->value() > 0)
        criteria.modifiedAfter = now - int64_t(_newer->value()) * 86400;
    if (_kind->currentIndex() > 0)
        criteria.kind = uint8_t(_kind->currentIndex() - 1);
    criteria.filesOnly = _type->currentIndex() == 1;
    criteria.foldersOnly = _type->currentIndex() == 2;
    criteria.cleanupOnly = _choice->currentIndex() == int(Choice::CleanupCandidates);
    return criteria;
}

struct HLNFindPanel::Walk {
    std::atomic<bool> stop{false};
    std::thread thread;
};

HLNFindPanel::~HLNFindPanel() {
    _stopWalk();
    *_alive = nullptr; // calls on their way find no panel
}

void HLNFindPanel::_stopWalk() {
    if (!_walk)
        return;
    _walk->stop = true;
    _walk->thread.join(); // at its next folder
    _walk.reset();
}

void HLNFindPanel::search() {
    _stopWalk();
    const uint64_t generation = ++_generation;
    const bool largest = _choice->currentIndex() == int(Choice::LargestFiles);
    const bool kinds = _choice->currentIndex() == int(Choice::Kinds);
    const bool gone = _choice->currentIndex() == int(Choice::Gone);
    if (gone) {
        for (QWidget* filter : std::initializer_list<QWidget*>{_name, _atLeast, _atMost, _older,
                                                               _newer, _kind, _type})
            filter->setEnabled(false);
        _results->setRootIsDecorated(false);
        _showGone();
        emit searched();
        return;
    }
    for (QWidget* filter :
         std::initializer_list<QWidget*>{_name, _atLeast, _atMost, _older, _newer, _kind, _type})
        filter->setEnabled(!largest && !kinds &&
                           (HLNFinder::hasDates(_root) || (filter != _older && filter != _newer)));
    // Each kind opens onto its extensions.
    _results->setRootIsDecorated(kinds);
    if (!kinds && onHighlight)
        onHighlight(HLNFileKind::KindCount, std::nullopt);
    // The selection stays on its nodes.
    _keepSelected.clear();
    for (const Ref<HLNFile>& node : selectedResults())
        _keepSelected.push_back(node.get());
    _foundSoFar = 0;
    // Sizes are of the measure the window shows (files by items are all
    // one: the largest are then the largest on disk).
    _figure = HLNFile::shownFigure();
    const HLNFile::Figure bySize =
        _figure == HLNFile::Figure::items ? HLNFile::Figure::diskUsage : _figure;

    _walk = std::make_unique<Walk>();
    HLNFinder::Control control{};
    control.stop = &_walk->stop;
    // Results reach the main thread through its queue of calls; a walk
    // stopped since, or a panel gone, drops them there.
    auto hand = [alive = _alive, generation](std::vector<HLNFinder::Entry> found, bool done) {
        auto shared = std::make_shared<std::vector<HLNFinder::Entry>>(std::move(found));
        TFMainThread::perform([alive, generation, shared, done] {
            if (*alive)
                (*alive)->_addFound(generation, std::move(*shared), done);
        });
    };
    if (kinds) {
        const HLNFile::Figure figure = _figure;
        _walk->thread = std::thread([alive = _alive, generation, root = _root, figure, control] {
            auto census =
                std::make_shared<HLNFinder::Census>(HLNFinder::census(root, figure, control));
            if (control.stopped())
                return;
            TFMainThread::perform([alive, generation, census] {
                HLNFindPanel* panel = *alive;
                if (!panel || generation != panel->_generation)
                    return;
                panel->_stopWalk();
                panel->_showKinds(*census);
                emit panel->searched();
            });
        });
        return;
    }
    if (largest) {
        _walk->thread = std::thread([root = _root, bySize, control, hand] {
            std::vector<HLNFinder::Entry> found =
                HLNFinder::largestFiles(root, kLargestFiles, bySize, control);
            if (!control.stopped())
                hand(std::move(found), true);
        });
        return;
    }
    control.found = [hand](std::vector<HLNFinder::Entry>&& found) {
        hand(std::move(found), false);
    };
    _walk->thread = std::thread([root = _root, criteria = _criteria(), control, hand] {
        std::vector<HLNFinder::Entry> found =
            HLNFinder::find(root, criteria, false, control); // the list sorts them
        if (!control.stopped())
            hand(std::move(found), true);
    });
}

void HLNFindPanel::_addFound(uint64_t generation, std::vector<HLNFinder::Entry> found, bool done) {
    if (generation != _generation)
        return; // of a walk stopped since
    if (_foundSoFar == 0 && (!_results->property("generation").isValid() ||
                             _results->property("generation").toULongLong() != generation)) {
        // The first results of this walk replace the list.
        _results->setProperty("generation", qulonglong(generation));
        const QSignalBlocker quiet(_results);
        _results->clear();
        _shown.clear();
        _showingKinds = false;
        _showingGone = false;
        _results->setColumnCount(4);
        _results->setHeaderLabels({"Path", "Size", "Items", "Modified"});
    }
    _foundSoFar += found.size();
    _addRows(found);
    const QLocale locale;
    const size_t shown = _shown.size();
    if (!done)
        _count->setText(QString("%1 found so far").arg(locale.toString(qulonglong(_foundSoFar))));
    else
        _count->setText(_foundSoFar > shown
                            ? QString("%1 found; the %2 first shown")
                                  .arg(locale.toString(qulonglong(_foundSoFar)),
                                       locale.toString(qulonglong(shown)))
                            : QString("%1 found").arg(locale.toString(qulonglong(_foundSoFar))));
    if (done) {
        _stopWalk();
        emit searched();
    }
}

void HLNFindPanel::_addRows(const std::vector<HLNFinder::Entry>& found) {
    const HLNFile::Figure figure = _figure;
    const bool dates = HLNFinder::hasDates(_root);
    const QSignalBlocker quiet(_results);
    _results->setSortingEnabled(false);
    const std::string& rootPath = _root->path();
    const QLocale locale;
    QList<QTreeWidgetItem*> rows;
    for (const HLNFinder::Entry& entry : found) {
        if (_shown.size() >= size_t(kShownResults))
            break;
        auto* row = new ResultItem;
        std::string relative = entry.path.substr(std::min(entry.path.size(), rootPath.size()));
        if (!relative.empty() && relative.front() == '/')
            relative.erase(0, 1);
        row->setText(PathColumn,
                     HLNFileTreeController::displayPath(relative) + (entry.isFolder ? "/" : ""));
        row->setData(PathColumn, kNodeRole, qulonglong(_shown.size()));
        const uint64_t size = HLNFile::figureOf(
            entry.measures, figure == HLNFile::Figure::items ? HLNFile::Figure::diskUsage : figure);
        row->setText(SizeColumn, QString::fromStdString(TFString::abbreviatedStringForBytes(size)));
        row->setData(SizeColumn, kSortRole, qlonglong(size));
        row->setTextAlignment(SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
        row->setText(ItemsColumn, locale.toString(qulonglong(entry.measures.items)));
        row->setData(ItemsColumn, kSortRole, qlonglong(entry.measures.items));
        row->setTextAlignment(ItemsColumn, Qt::AlignRight | Qt::AlignVCenter);
        // The newest below a folder, as its row in the columns shows it.
        if (dates && entry.measures.newest != HLNFile::kNoModification) {
            row->setText(DateColumn,
                         locale.toString(QDateTime::fromSecsSinceEpoch(entry.measures.newest),
                                         QLocale::ShortFormat));
            row->setData(DateColumn, kSortRole, qlonglong(entry.measures.newest));
        }
        _shown.push_back(entry.node);
        rows.push_back(row);
    }
    _results->addTopLevelItems(rows);
    _results->setSortingEnabled(true);
    for (QTreeWidgetItem* row : rows)
        if (std::find(_keepSelected.begin(), _keepSelected.end(),
                      _shown[size_t(row->data(PathColumn, kNodeRole).toULongLong())].get()) !=
            _keepSelected.end())
            row->setSelected(true);
}

void HLNFindPanel::_showKinds(const HLNFinder::Census& census) {
    // The kinds by the measure the window shows.
    const HLNFile::Figure figure = _figure;
    const uint64_t whole = HLNFile::figureOf(_root->measures(), figure);
    const double total = double(std::max<uint64_t>(whole, 1));
    const QLocale locale;
    // The row chosen stays chosen.
    QString chosen;
    if (!_results->selectedItems().isEmpty())
        chosen = _results->selectedItems().front()->text(PathColumn);
    const QSignalBlocker quiet(_results);
    _results->setSortingEnabled(false);
    _results->clear();
    _results->setProperty("generation", QVariant());
    _shown.clear();
    _results->setColumnCount(3);
    _results->setHeaderLabels(
        {"Kind", figure == HLNFile::Figure::items ? "Items" : "Size", "Files and share"});
    _showingKinds = true;
    _showingGone = false;
    auto fill = [&](QTreeWidgetItem* row, const QString& name, const HLNFinder::Figures& f,
                    int kind, const QString& extension) {
        row->setText(PathColumn, name);
        row->setData(PathColumn, kNodeRole, kind);
        row->setData(PathColumn, kSortRole, extension);
        row->setText(SizeColumn, HLNFileBrowserCell::figureText(f.bytes));
        row->setData(SizeColumn, kSortRole, qlonglong(f.bytes));
        row->setTextAlignment(SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
        row->setText(ItemsColumn,
                     QString("%1 · %2%")
                         .arg(locale.toString(qulonglong(f.items)))
                         .arg(locale.toString(100.0 * double(f.bytes) / total, 'f', 1)));
        row->setData(ItemsColumn, kSortRole, qlonglong(f.items));
        if (row->text(PathColumn) == chosen)
            row->setSelected(true);
    };
    std::vector<QTreeWidgetItem*> ofKind(HLNFileKind::KindCount, nullptr);
    for (uint8_t kind = 0; kind < HLNFileKind::KindCount; ++kind) {
        if (!census.kinds[kind].items)
            continue;
        auto* row = new ResultItem;
        QPixmap swatch(12, 12);
        swatch.fill(HLNTreemapPainter::colorOfKind(kind));
        row->setIcon(PathColumn, QIcon(swatch));
        _results->addTopLevelItem(row);
        fill(row, HLNTreemapPainter::nameOfKind(kind), census.kinds[kind], kind, QString());
        ofKind[kind] = row;
    }
    for (uint8_t kind = 0; kind < HLNFileKind::KindCount; ++kind) {
        for (const auto& [extension, figures] : census.extensionsOfKind[kind]) {
            auto* row = new ResultItem(ofKind[kind]);
            const QString name = extension.empty() ? QString("(no extension)")
                                                   : "." + QString::fromUtf8(extension.c_str());
            fill(row, name, figures, kind, QString::fromUtf8(extension.c_str()));
        }
    }
    auto* folders = new ResultItem;
    _results->addTopLevelItem(folders);
    fill(folders, "folders themselves", census.folders, HLNFileKind::KindCount, QString());
    _results->setSortingEnabled(true);
    _results->sortByColumn(SizeColumn, Qt::DescendingOrder);
    _count->setText(QString("%1 in all").arg(HLNFileBrowserCell::figureText(whole, true)));
    _highlightChosen();
}

void HLNFindPanel::_highlightChosen() {
    if (!onHighlight)
        return;
    const QList<QTreeWidgetItem*> rows = _results->selectedItems();
    if (rows.isEmpty()) {
        onHighlight(HLNFileKind::KindCount, std::nullopt);
        return;
    }
    const int kind = rows.front()->data(PathColumn, kNodeRole).toInt();
    if (rows.front()->parent())
        onHighlight(uint8_t(kind),
                    rows.front()->data(PathColumn, kSortRole).toString().toUtf8().toStdString());
    else
        onHighlight(uint8_t(kind), std::nullopt);
}

void HLNFindPanel::setGoneSource(GoneSource source) {
    const bool had = bool(_goneSource);
    _goneSource = std::move(source);
    if (_goneSource && !had)
        _choice->addItem("Gone");
    else if (!_goneSource && had) {
        if (_choice->currentIndex() == int(Choice::Gone))
            _choice->setCurrentIndex(int(Choice::Matches)); // searches again
        _choice->removeItem(int(Choice::Gone));
    } else if (_goneSource && _choice->currentIndex() == int(Choice::Gone) && isVisible())
        search(); // another comparison
}

void HLNFindPanel::_showGone() {
    const std::vector<GoneFolder> gone = _goneSource ? _goneSource() : std::vector<GoneFolder>();
    if (onHighlight)
        onHighlight(HLNFileKind::KindCount, std::nullopt);
    const QSignalBlocker quiet(_results);
    _results->setSortingEnabled(false);
    _results->clear();
    _shown.clear();
    _showingKinds = false;
    _showingGone = true;
    _actsOnResults = false;
    _results->setProperty("generation", QVariant());
    _results->setColumnCount(2);
    _results->setHeaderLabels({"Path", "Size then"});
    uint64_t total = 0;
    QList<QTreeWidgetItem*> rows;
    for (const GoneFolder& folder : gone) {
        auto* row = new ResultItem;
        row->setText(PathColumn, HLNFileTreeController::displayPath(folder.relativePath) + "/");
        row->setText(SizeColumn,
                     QString::fromStdString(TFString::abbreviatedStringForBytes(folder.bytes)));
        row->setData(SizeColumn, kSortRole, qlonglong(folder.bytes));
        row->setTextAlignment(SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
        total += folder.bytes;
        rows.push_back(row);
    }
    _results->addTopLevelItems(rows);
    _results->setSortingEnabled(true);
    _results->sortByColumn(SizeColumn, Qt::DescendingOrder);
    _count->setText(QString("%1 gone, %2 then")
                        .arg(QLocale().toString(qulonglong(gone.size())),
                             QString::fromStdString(TFString::abbreviatedStringForBytes(total))));
}

std::vector<Ref<HLNFile>> HLNFindPanel::selectedResults() const {
    std::vector<Ref<HLNFile>> nodes;
    if (_showingKinds || _showingGone)
        return nodes; // rows of kinds, no entries
    for (QTreeWidgetItem* row : _results->selectedItems())
        nodes.push_back(_shown[size_t(row->data(PathColumn, kNodeRole).toULongLong())]);
    return nodes;
}
