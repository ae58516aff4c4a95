#include "drives/gui/HLNDriveListController.h"

#include "drives/HLNUnseenSpace.h"
#include "drives/gui/HLNDriveAccountController.h"
#include "toolkit/TFPreference.h"
#include "toolkit/TFString.h"
#include "toolkit/gui/TFWindowPlacement.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>

namespace {

// Where an item's drive lives: its list and its index there. The group row
// has kGroupIndex.
constexpr int kIndexRole = Qt::UserRole + 1;
constexpr int kListRole = Qt::UserRole + 2;
constexpr int kIdentifierRole = Qt::UserRole + 3;
constexpr int kGroupIndex = -1;
constexpr int kLocalList = 0;
constexpr int kNetworkList = 1;

QString localized(const char* text) {
    return QCoreApplication::translate("HLNDriveListController", text);
}

bool hasPrefix(const std::string& text, std::string_view prefix) {
    return std::string_view(text).substr(0, prefix.size()) == prefix;
}

QString displayText(const std::string& bytes) {
    return TFString::displayStringForName(bytes);
}

QIcon themeIcon(const QString& name, QStyle::StandardPixmap fallback) {
    QIcon icon = QIcon::fromTheme(name);
    return icon.isNull() ? QApplication::style()->standardIcon(fallback) : icon;
}

QIcon iconForDrive(const HLNDrive& drive) {
    if (drive.iconName() == "folder-remote")
        return themeIcon("folder-remote", QStyle::SP_DriveNetIcon);
    if (drive.iconName() == "drive-removable-media")
        return themeIcon("drive-removable-media", QStyle::SP_DriveFDIcon);
    return themeIcon(QString::fromStdString(drive.iconName()), QStyle::SP_DriveHDIcon);
}

void debugLog(const char* format, const HLNDrive& drive) {
    QString line = HLNDriveListController::formatWithObjects(
        QString::fromUtf8(format),
        {displayText(drive.fromLocation()), displayText(drive.location()),
         QString::fromStdString(drive.type())});
    qInfo("%s", qPrintable(line));
}

constexpr int kUsageRole = Qt::UserRole + 4; // used per mille of the total, or -1

} // namespace

// Draws the usage column: a bar filled as far as the drive is used.
class HLNDriveListController::UsageBar : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell(option);
        initStyleOption(&cell, index);
        QStyle* style = cell.widget ? cell.widget->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &cell, painter, cell.widget);
        const int perMille = index.data(kUsageRole).isValid() ? index.data(kUsageRole).toInt() : -1;
        if (perMille < 0)
            return;
        QStyleOptionProgressBar bar;
        bar.initFrom(cell.widget);
        bar.rect = option.rect.adjusted(4, option.rect.height() / 4, -4, -option.rect.height() / 4);
        bar.minimum = 0;
        bar.maximum = 1000;
        bar.progress = perMille;
        bar.textVisible = false;
        bar.state |= QStyle::State_Horizontal;
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, cell.widget);
    }
};

HLNDriveListController* HLNDriveListController::sharedInstance() {
    static HLNDriveListController* shared = new HLNDriveListController();
    return shared;
}

HLNDriveListController::HLNDriveListController() {
    _localDrives.reserve(2);
    _networkDrives.reserve(2);
    _updateDrives();
}

HLNDriveListController::~HLNDriveListController() {
    if (_window)
        _window->removeEventFilter(this);
}

// MARK: rules

HLNDriveListController::Classification
HLNDriveListController::classifyDrive(const HLNDrive& drive) {
    const std::string type = drive.type();
    const std::string& location = drive.location();
    const std::string& from = drive.fromLocation();
    // The system's own disk is always shown, whatever serves it (an overlay
    // or composefs root on live and image-based systems).
    if (location == "/")
        return Classification::Local;
    if (HLNDrive::isDiskType(type))
        return Classification::Local;
    if (hasPrefix(from, "automount -"))
        return Classification::Skipped;
    if (location == "/Network/Servers")
        return Classification::Skipped;
    if (location == "/automount")
        return Classification::Skipped;
    if (HLNDrive::isPseudoType(type))
        return Classification::Skipped;
    // A running AppImage's own files, mounted for as long as it runs.
    if (hasPrefix(location, "/tmp/.mount_"))
        return Classification::Skipped;
    if (HLNDrive::isNetworkType(type))
        return Classification::Network;
    // What is left is told by what serves it, never by default: a local
    // device, or local folders seen through a stacking file system, are
    // local; a server's path ("host:/path", "//host/share") is network.
    if (HLNDrive::isStackedLocalType(type) || hasPrefix(from, "/dev/"))
        return Classification::Local;
    if (from.find(":/") != std::string::npos || hasPrefix(from, "//"))
        return Classification::Network;
    return Classification::Local;
}

QString HLNDriveListController::titleForDrive(const HLNDrive& drive) const {
    // Two mounts of one labelled device (btrfs subvolumes, bind mounts) would
    // read the same: those are told apart by their mount points.
    const std::string name = drive.displayName();
    for (const auto* list : {&_localDrives, &_networkDrives})
        for (const Ref<HLNDrive>& other : *list)
            if (other.get() != &drive && other->displayName() == name)
                return displayText(name) + " (" + displayText(drive.location()) + ")";
    return displayText(name);
}

QString HLNDriveListController::formatWithObjects(const QString& format,
                                                  const QStringList& objects) {
    QString out;
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '@' &&
            next < objects.size()) {
            out += objects[next++];
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

QString HLNDriveListController::infoTextForDrive(const HLNDrive& drive) {
    // A figure below zero (free blocks above the total, as a confused
    // server may report) shows as 0, not as exabytes.
    auto bytes = [](int64_t value) {
        return QString::fromStdString(TFString::abbreviatedStringForBytes(
            static_cast<uint64_t>(std::max<int64_t>(value, 0))));
    };
    return formatWithObjects(localized("%@ free, %@ used, %@ total"),
                             {bytes(drive.available()), bytes(drive.used()), bytes(drive.size())});
}

QString HLNDriveListController::toolTipForDrive(const HLNDrive& drive) {
    auto bytes = [](int64_t value) {
        return QString::fromStdString(TFString::abbreviatedStringForBytes(
            static_cast<uint64_t>(std::max<int64_t>(value, 0))));
    };
    // Free blocks that only the system may use are neither used nor free
    // for users: they are why free and used do not add up to the total.
    const int64_t reserved = drive.size() - drive.used() - drive.available();
    QStringList lines{displayText(drive.location()), localized("Used: %1").arg(bytes(drive.used())),
                      localized("Free for users: %1").arg(bytes(drive.available()))};
    if (reserved > 0)
        lines << localized("Reserved for the system: %1").arg(bytes(reserved));
    lines << localized("Total: %1").arg(bytes(drive.size()));
    return lines.join('\n');
}

QString HLNDriveListController::sweepTitleForDrive(const HLNDrive* drive) {
    if (!drive)
        return localized("Sweep Selected Drive...");
    return formatWithObjects(localized("Sweep \"%@\" Drive..."),
                             {displayText(drive->displayName())});
}

// MARK: lists

void HLNDriveListController::_updateDrives() {
    const bool debug = TFPreference::preferenceForKey("DebugDriveList").boolValue();
    if (debug)
        qInfo("Updating drive list");
    _localDrives.clear();
    _networkDrives.clear();
    if (HLNDrive::DriveList drives = HLNDrive::drives()) {
        for (const Ref<HLNDrive>& drive : *drives) {
            Classification classification = classifyDrive(*drive);
            switch (classification) {
            case Classification::Local:
                _localDrives.push_back(drive);
                break;
            case Classification::Network:
                _networkDrives.push_back(drive);
                break;
            case Classification::Skipped:
                break;
            }
            if (debug)
                debugLog(classification == Classification::Skipped
                             ? "    Skipping drive: %@ on %@ (%@)"
                             : "    Adding drive: %@ on %@ (%@)",
                         *drive);
        }
    }
    auto byName = [](const Ref<HLNDrive>& a, const Ref<HLNDrive>& b) { return a->compare(*b) < 0; };
    std::stable_sort(_localDrives.begin(), _localDrives.end(), byName);
    std::stable_sort(_networkDrives.begin(), _networkDrives.end(), byName);
    _updateButtonsStatus();
}

void HLNDriveListController::updateDrives() {
    // The drive selected stays so, found again by its mount point; with
    // none, the first drive is, so that Sweep is ready at once.
    Ref<HLNDrive> kept = selectedDrive();
    if (_driveListOutlineView)
        _driveListOutlineView->clearSelection();
    _updateDrives();
    _reloadData();
    _selectDriveAt(kept ? kept->location() : std::string());
}

void HLNDriveListController::_selectDriveAt(const std::string& location) {
    QTreeWidget* view = _driveListOutlineView;
    if (!view)
        return;
    QTreeWidgetItem* chosen = nullptr;
    for (QTreeWidgetItemIterator it(view); *it && !location.empty(); ++it)
        if (Ref<HLNDrive> drive = _driveOfItem(*it); drive && drive->location() == location)
            chosen = *it;
    if (!chosen && view->topLevelItemCount() > 0 && _driveOfItem(view->topLevelItem(0)))
        chosen = view->topLevelItem(0);
    if (!chosen)
        return;
    view->setCurrentItem(chosen);
    chosen->setSelected(true);
}

void HLNDriveListController::updateSelection() {
    updateDrives();
}

void HLNDriveListController::sizeSelectedDrive() {
    Ref<HLNDrive> drive = selectedDrive();
    if (drive && _opener)
        _opener(drive->location());
}

Ref<HLNDrive> HLNDriveListController::selectedDrive() const {
    if (!_driveListOutlineView)
        return nullptr;
    QList<QTreeWidgetItem*> selected = _driveListOutlineView->selectedItems();
    return selected.isEmpty() ? nullptr : _driveOfItem(selected.first());
}

Ref<HLNDrive> HLNDriveListController::_driveOfItem(const QTreeWidgetItem* item) const {
    int index = item->data(0, kIndexRole).toInt();
    if (index == kGroupIndex)
        return nullptr;
    const auto& list =
        item->data(0, kListRole).toInt() == kNetworkList ? _networkDrives : _localDrives;
    return index >= 0 && static_cast<size_t>(index) < list.size() ? list[static_cast<size_t>(index)]
                                                                  : nullptr;
}

void HLNDriveListController::_updateButtonsStatus() {
    if (!_sweepButton)
        return;
    Ref<HLNDrive> drive = selectedDrive();
    _sweepButton->setEnabled(static_cast<bool>(drive));
    _sweepButton->setText(sweepTitleForDrive(drive.get()));
    if (_accountButton)
        _accountButton->setEnabled(static_cast<bool>(drive));
}

// MARK: the window

int HLNDriveListController::columnForIdentifier(const QString& identifier) const {
    if (!_driveListOutlineView)
        return -1;
    QTreeWidgetItem* header = _driveListOutlineView->headerItem();
    for (int column = 0; column < header->columnCount(); ++column)
        if (header->data(column, kIdentifierRole).toString() == identifier)
            return column;
    return -1;
}

void HLNDriveListController::_fillItem(QTreeWidgetItem* item, const HLNDrive* drive) {
    int name = columnForIdentifier("name");
    int info = columnForIdentifier("info");
    if (name >= 0) {
        item->setIcon(name, drive ? iconForDrive(*drive)
                                  : themeIcon("network-workgroup", QStyle::SP_DriveNetIcon));
        item->setText(name, drive ? titleForDrive(*drive) : QString(kNetworkItem));
        item->setTextAlignment(name, Qt::AlignLeft | Qt::AlignVCenter);
    }
    if (info >= 0) {
        item->setText(info, drive ? infoTextForDrive(*drive) : QString());
        item->setTextAlignment(info, Qt::AlignRight | Qt::AlignVCenter);
        QFont small = item->font(info);
        small.setPointSizeF(std::max(7.0, QApplication::font().pointSizeF() * 0.85));
        item->setFont(info, small);
    }
    if (int location = columnForIdentifier("location"); location >= 0)
        item->setText(location, drive ? displayText(drive->location()) : QString());
    if (int usage = columnForIdentifier("usage"); usage >= 0)
        item->setData(usage, kUsageRole,
                      drive && drive->size() > 0
                          ? int(std::clamp<int64_t>(drive->used() * 1000 / drive->size(), 0, 1000))
                          : -1);
    if (drive) {
        const QString tip = toolTipForDrive(*drive);
        for (int column = 0; column < _driveListOutlineView->columnCount(); ++column)
            item->setToolTip(column, tip);
    }
}

void HLNDriveListController::_reloadData() {
    if (!_driveListOutlineView)
        return;
    // Keep the group row's expansion across reloads: the user decides it.
    bool networkExpanded = false;
    QTreeWidget* view = _driveListOutlineView;
    for (int i = 0; i < view->topLevelItemCount(); ++i)
        if (view->topLevelItem(i)->data(0, kIndexRole).toInt() == kGroupIndex)
            networkExpanded = view->topLevelItem(i)->isExpanded();

    QSignalBlocker quiet(view);
    view->clear();
    for (size_t i = 0; i < _localDrives.size(); ++i) {
        auto* item = new QTreeWidgetItem(view);
        item->setData(0, kIndexRole, static_cast<int>(i));
        item->setData(0, kListRole, kLocalList);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren);
        _fillItem(item, _localDrives[i].get());
    }
    if (!_networkDrives.empty()) {
        auto* group = new QTreeWidgetItem(view);
        group->setData(0, kIndexRole, kGroupIndex);
        group->setFlags(Qt::ItemIsEnabled); // never selectable
        group->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        _fillItem(group, nullptr);
        for (size_t i = 0; i < _networkDrives.size(); ++i) {
            auto* item = new QTreeWidgetItem(group);
            item->setData(0, kIndexRole, static_cast<int>(i));
            item->setData(0, kListRole, kNetworkList);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren);
            _fillItem(item, _networkDrives[i].get());
        }
        group->setExpanded(networkExpanded);
    }
    _fillUnseenColumn();
    _updateButtonsStatus();
}

QWidget* HLNDriveListController::window() {
    if (!_window)
        _loadWindow();
    return _window.get();
}

void HLNDriveListController::_loadWindow() {
    // A main window, so that it carries the application's menus as every
    // window of Hollin does: it is the one the program starts with.
    auto main = std::make_unique<QMainWindow>();
    auto* content = new QWidget(main.get());
    main->setCentralWidget(content);
    _window = std::move(main);
    _window->setObjectName("DriveList");
    _window->setWindowTitle(localized("Drives"));
    _window->resize(760, 300);

    _driveListOutlineView = new QTreeWidget(content);
    _driveListOutlineView->setObjectName("driveListOutlineView");
    _driveListOutlineView->setColumnCount(4);
    QTreeWidgetItem* header = _driveListOutlineView->headerItem();
    header->setText(0, localized("Drive"));
    header->setData(0, kIdentifierRole, QString("name"));
    header->setText(1, localized("Space"));
    header->setData(1, kIdentifierRole, QString("info"));
    header->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    header->setText(2, localized("Mounted At"));
    header->setData(2, kIdentifierRole, QString("location"));
    header->setText(3, localized("Used"));
    header->setData(3, kIdentifierRole, QString("usage"));
    _driveListOutlineView->setItemDelegateForColumn(3, new UsageBar(_driveListOutlineView));
    // Shown as: name, mount point, usage bar, figures.
    _driveListOutlineView->header()->moveSection(1, 3);
    _driveListOutlineView->setSelectionMode(QAbstractItemView::SingleSelection);
    _driveListOutlineView->setRootIsDecorated(true);
    _driveListOutlineView->setUniformRowHeights(true);
    _driveListOutlineView->setExpandsOnDoubleClick(true);
    _driveListOutlineView->setIconSize(QSize(24, 24));
    // The name column keeps the width it is given; the figures take the rest.
    _driveListOutlineView->header()->setStretchLastSection(true);
    _driveListOutlineView->setColumnWidth(0, 200);
    _driveListOutlineView->setColumnWidth(2, 160);
    _driveListOutlineView->setColumnWidth(3, 110);

    _sweepButton = new QPushButton(content);
    _sweepButton->setObjectName("sweepButton");
    _sweepButton->setDefault(true);
    auto* refresh = new QPushButton(localized("Refresh"), content);
    refresh->setObjectName("refreshButton");

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(refresh);
    buttons->addStretch(1);
    _addAccountingControls(content, buttons);
    buttons->addWidget(_sweepButton);
    auto* layout = new QVBoxLayout(content);
    layout->addWidget(_driveListOutlineView, 1);
    layout->addLayout(buttons);

    connect(_driveListOutlineView, &QTreeWidget::itemSelectionChanged, this,
            &HLNDriveListController::_updateButtonsStatus);
    // A double-click on the group row only expands it: a drive selected
    // before must not open from there.
    connect(_driveListOutlineView, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) {
                if (item->data(0, kIndexRole).toInt() != kGroupIndex)
                    sizeSelectedDrive();
            });
    connect(_sweepButton, &QPushButton::clicked, this, &HLNDriveListController::sizeSelectedDrive);
    // Return opens the selected drive, as the double-click does.
    _driveListOutlineView->installEventFilter(this);
    connect(refresh, &QPushButton::clicked, this, &HLNDriveListController::updateDrives);

    QString frame =
        QString::fromStdString(TFPreference::preferenceForKey(kFrameName).stringValue());
    if (!frame.isEmpty())
        _window->restoreGeometry(QByteArray::fromBase64(frame.toLatin1()));
    TFWindowPlacement::fitToScreen(_window.get());
    _window->installEventFilter(this);
    _reloadData();
    _selectDriveAt(std::string());
}

void HLNDriveListController::showWindow() {
    QWidget* w = window();
    w->show();
    w->raise();
    w->activateWindow();
}

void HLNDriveListController::_saveFrame() {
    if (!_window)
        return;
    TFPreference::setString(kFrameName, _window->saveGeometry().toBase64().toStdString());
}

bool HLNDriveListController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _window.get()) {
        QEvent::Type type = event->type();
        if (type == QEvent::WindowActivate)
            updateDrives();
        if ((type == QEvent::Move || type == QEvent::Resize) && _window->isVisible())
            _saveFrame();
        if (type == QEvent::Close)
            _saveFrame();
    }
    if (watched == _driveListOutlineView && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            sizeSelectedDrive();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

// MARK: accounting for a drive

QString HLNDriveListController::unseenTextForDrive(const HLNDrive& drive) {
    const std::optional<uint64_t> unseen = HLNUnseenSpace::lastUnseenBytes(drive.location());
    if (!unseen)
        return QString();
    return QString::fromStdString(TFString::abbreviatedStringForBytes(*unseen));
}

void HLNDriveListController::accountSelectedDrive() {
    Ref<HLNDrive> drive = selectedDrive();
    if (!drive)
        return;
    HLNDriveAccountController* account = HLNDriveAccountController::openForMount(drive->location());
    connect(account, &HLNDriveAccountController::accounted, this,
            &HLNDriveListController::_fillUnseenColumn, Qt::UniqueConnection);
}

void HLNDriveListController::_addAccountingControls(QWidget* content, QHBoxLayout* buttons) {
    QTreeWidget* view = _driveListOutlineView;
    const int column = view->columnCount();
    view->setColumnCount(column + 1);
    view->headerItem()->setText(column, localized("Unseen"));
    view->headerItem()->setData(column, kIdentifierRole, QString("unseen"));
    view->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    view->setColumnHidden(column, true); // until a drive has been accounted for
    // Shown just before the last column, as wide as its figures: the last
    // keeps the room left.
    view->header()->moveSection(view->header()->visualIndex(column), view->header()->count() - 2);
    view->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);

    _accountButton = new QPushButton(localized("Account for Drive…"), content);
    _accountButton->setObjectName("accountButton");
    _accountButton->setEnabled(false);
    connect(_accountButton, &QPushButton::clicked, this,
            &HLNDriveListController::accountSelectedDrive);
    buttons->addWidget(_accountButton);

    auto* account = new QAction(localized("Account for Drive…"), _window.get());
    account->setObjectName("accountForDrive");
    connect(account, &QAction::triggered, this, &HLNDriveListController::accountSelectedDrive);
    auto* sweep = new QAction(localized("Sweep Selected Drive..."), _window.get());
    sweep->setObjectName("sweepDrive");
    connect(sweep, &QAction::triggered, this, &HLNDriveListController::sizeSelectedDrive);
    if (auto* main = qobject_cast<QMainWindow*>(_window.get())) {
        QMenu* menu = main->menuBar()->addMenu(localized("&Drive"));
        menu->setObjectName("driveMenu");
        menu->addAction(account);
        menu->addAction(sweep);
        connect(menu, &QMenu::aboutToShow, this, [this, account, sweep] {
            account->setEnabled(static_cast<bool>(selectedDrive()));
            sweep->setEnabled(static_cast<bool>(selectedDrive()));
        });
    }
    _rowContextMenu = new QMenu(_window.get());
    _rowContextMenu->setObjectName("driveContextMenu");
    _rowContextMenu->addAction(account);
    _rowContextMenu->addAction(sweep);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
        QTreeWidgetItem* item = view->itemAt(at);
        if (!item || item->data(0, kIndexRole).toInt() == kGroupIndex)
            return;
        view->setCurrentItem(item);
        for (QAction* action : _rowContextMenu->actions())
            action->setEnabled(static_cast<bool>(selectedDrive()));
        _rowContextMenu->popup(view->viewport()->mapToGlobal(at));
    });
}

void HLNDriveListController::_fillUnseenColumn() {
    const int column = columnForIdentifier("unseen");
    if (column < 0)
        return;
    bool any = false;
    QTreeWidget* view = _driveListOutlineView;
    for (QTreeWidgetItemIterator it(view); *it; ++it) {
        QTreeWidgetItem* item = *it;
        const int index = item->data(0, kIndexRole).toInt();
        if (index == kGroupIndex)
            continue;
        const auto& list =
            item->data(0, kListRole).toInt() == kNetworkList ? _networkDrives : _localDrives;
        if (index < 0 || static_cast<size_t>(index) >= list.size())
            continue;
        const QString text = unseenTextForDrive(*list[static_cast<size_t>(index)]);
        item->setText(column, text);
        item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        if (const int info = columnForIdentifier("info"); info >= 0)
            item->setFont(column, item->font(info)); // a figure, as the others are
        any = any || !text.isEmpty();
    }
    view->setColumnHidden(column, !any);
}
