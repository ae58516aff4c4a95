#include "browser/HLNFileTreeController.h"

#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileWell.h"
#include "browser/HLNShrinkingTextDisplayer.h"
#include "browser/HLNWorkspace.h"
#include "drives/HLNDrive.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNRefreshRequests.h"
#include "model/HLNTrashMover.h"
#include "receipts/HLNPackageReceipt.h"
#include "toolkit/TFNotificationCenter.h"
#include "toolkit/TFPreference.h"
#include "toolkit/TFString.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unordered_map>

namespace {

QString localized(const char* key) { return QCoreApplication::translate("Hollin", key); }

QString bytesText(uint64_t bytes) { return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes)); }

// "/a/b" -> "b"; "/" stays "/".
QString lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p == "/") return "/";
    const size_t slash = p.rfind('/');
    return HLNFileBrowserCell::displayStringForName(slash == std::string::npos ? p : p.substr(slash + 1));
}

// Tells the user that a root path cannot be browsed, without waiting.
// error: the errno of examining it, or 0 when it exists but could not be read.
void reportUnopenablePath(const std::string& path, int error) {
    auto* box = new QMessageBox(QMessageBox::Warning, "Hollin",
                                QString("Hollin can't open \"%1\".").arg(HLNFileTreeController::displayPath(path)));
    const QString reason = error ? QString::fromLocal8Bit(std::strerror(error)) : QString("it could not be read");
    box->setInformativeText(QString("The folder could not be examined: %1.").arg(reason));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setStandardButtons(QMessageBox::Ok);
    box->show();
}

} // namespace

// ---------------------------------------------------------------------------
// Opening

HLNFileTreeController* HLNFileTreeController::initWithPath(const std::string& given) {
    std::string path = given;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    Ref<HLNFile> root = path.empty() ? Ref<HLNFile>() : HLNFile::initWithParent(nullptr, path);
    if (!root) {
        struct stat st {};
        const int error = path.empty() ? ENOENT : (::lstat(path.c_str(), &st) == 0 ? 0 : errno);
        reportUnopenablePath(given, error);
        return nullptr;
    }
    return new HLNFileTreeController(std::move(root), path);
}

HLNFileTreeController::HLNFileTreeController(Ref<HLNFile> root, const std::string& path)
    : _rootFile(std::move(root)), _rootPath(path) {
    _rootFileTitle = displayPath(_rootPath);
    if (_rootPath == "/")
        if (Ref<HLNDrive> drive = HLNDrive::cachedDriveContainingPath("/"))
            _rootFileTitle = QString::fromStdString(drive->displayName());

    _buildWindow();

    _browser->setCellPrototype(std::make_unique<HLNFileBrowserCell>());
    _browser->setDelegate(this);
    connect(_browser, &HLNColumnBrowser::action, this, &HLNFileTreeController::selectBrowserCell);
    connect(_browser, &HLNColumnBrowser::doubleAction, this, &HLNFileTreeController::revealSelectionInFinder);
    _browser->setMaxVisibleColumns(15);
    _browser->setMinColumnWidth(175);
    _browser->loadColumnZero();
    // The arrow keys work at once, without a click first.
    if (QWidget* first = _browser->viewOfColumn(0)) first->setFocus();

    _fileWell->setEditable(false);
    _deleteButton->setFocusPolicy(Qt::NoFocus);
    _moveToTrashButton->setFocusPolicy(Qt::NoFocus);
    _compressButton->setFocusPolicy(Qt::NoFocus);

    const std::string frame = TFPreference::preferenceForKey(frameKeyForPath(_rootPath).toStdString()).stringValue();
    if (frame.empty() || !_window->restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(frame))))
        _window->resize(960, 620);
    _window->setWindowFilePath(displayPath(_rootPath));

    _window->setWindowTitle(QString("%1 (%2)").arg(displayPath(_rootPath), localized("sizing")));
    _window->show();
    if (QGuiApplication::platformName() != "offscreen") { // it has no window stacking
        _window->raise();
        _window->activateWindow();
    }

    TFNotificationCenter::defaultCenter().addObserver(this, HLNRefreshUserInterfaceNotificationName,
                                                      [this](const std::string&) { _refreshDisplayForNotification(); });
    HLNBackgroundFileSizer::sizeFile(_rootFile);

    refreshSelectedFileInformation();
    updateWhetherButtonsAreEnabled();
}

HLNFileTreeController::~HLNFileTreeController() {
    TFNotificationCenter::defaultCenter().removeObserver(this);
    if (_browser) _browser->setDelegate(nullptr);
    delete _window;
    cachedColumns.removeAllObjects();
    if (_rootFile) _rootFile->invalidate(); // the tree is released on a thread of its own
    _rootFile = nullptr;
}

void HLNFileTreeController::_buildWindow() {
    _window = new QMainWindow;
    _window->setObjectName("FileTreeDisplay");
    _window->installEventFilter(this);

    auto* central = new QWidget(_window);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(8);

    _browser = new HLNColumnBrowser(central);
    layout->addWidget(_browser, 1);

    // The summary: the well, what is selected, and the commands.
    auto* summary = new QHBoxLayout;
    summary->setSpacing(12);
    _fileWell = new HLNFileWell(central);
    _fileWell->setFixedSize(64, 64);
    summary->addWidget(_fileWell, 0, Qt::AlignVCenter);

    auto* info = new QVBoxLayout;
    info->setSpacing(2);
    _fileSizeField = new QLabel(central);
    _fileSizeField->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont sizeFont = _fileSizeField->font();
    sizeFont.setPointSizeF(sizeFont.pointSizeF() * 1.4);
    sizeFont.setBold(true);
    _fileSizeField->setFont(sizeFont);
    _fileSizeField->setAlignment(Qt::AlignCenter);
    _fileSizeField->setMinimumHeight(QFontMetrics(sizeFont).height());
    _filenameDisplayer = new HLNShrinkingTextDisplayer(central);
    _descriptionDisplayer = new HLNShrinkingTextDisplayer(central);
    info->addWidget(_fileSizeField);
    info->addWidget(_filenameDisplayer);
    info->addWidget(_descriptionDisplayer);
    summary->addLayout(info, 1);

    auto* buttons = new QGridLayout;
    buttons->setHorizontalSpacing(6);
    buttons->setVerticalSpacing(4);
    _updateButton = new QPushButton("Update", central);
    _revealButton = new QPushButton("Reveal", central);
    _compressButton = new QPushButton("Compress", central);
    _deleteButton = new QPushButton("Destroy", central);
    _moveToTrashButton = new QPushButton("Move to Trash", central);
    _moveToTrashButton->setToolTip("Move the selection to the trash, from where it can be restored");
    _updateButton->setToolTip("Measure the selection again, or the whole folder when nothing is selected");
    _revealButton->setToolTip("Show the selection in the file manager");
    _deleteButton->setToolTip("Delete the selection from disk for good");
    buttons->addWidget(_updateButton, 0, 0);
    buttons->addWidget(_revealButton, 0, 1);
    buttons->addWidget(_compressButton, 1, 0);
    buttons->addWidget(_moveToTrashButton, 1, 1);
    buttons->addWidget(_deleteButton, 1, 2);
    summary->addLayout(buttons);
    layout->addLayout(summary);
    _window->setCentralWidget(central);

    connect(_updateButton, &QPushButton::clicked, this, &HLNFileTreeController::updateSelection);
    connect(_revealButton, &QPushButton::clicked, this, &HLNFileTreeController::revealSelectionInFinder);
    connect(_compressButton, &QPushButton::clicked, this, &HLNFileTreeController::compressSelection);
    connect(_deleteButton, &QPushButton::clicked, this, &HLNFileTreeController::trashSelection);
    connect(_moveToTrashButton, &QPushButton::clicked, this, &HLNFileTreeController::moveSelectionToTrash);
    _buildMenus();
}

void HLNFileTreeController::_buildMenus() {
    QMenu* file = _window->menuBar()->addMenu("&File");
    QAction* close = file->addAction("&Close Window");
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, _window, &QWidget::close);

    QMenu* selection = _window->menuBar()->addMenu("&Selection");
    _updateAction = selection->addAction("&Update");
    _updateAction->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_R), QKeySequence(Qt::Key_F5)});
    _revealAction = selection->addAction("&Reveal in File Manager");
    _revealAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    _compressAction = selection->addAction("&Compress");
    selection->addSeparator();
    _moveToTrashAction = selection->addAction("&Move to Trash");
    _moveToTrashAction->setObjectName("moveSelectionToTrash");
    _moveToTrashAction->setShortcut(QKeySequence(Qt::Key_Delete)); // the file managers' key for it
    _trashAction = selection->addAction("&Destroy");
    _trashAction->setObjectName("trashSelection"); // the application gives it its shortcut
    _trashAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    connect(_updateAction, &QAction::triggered, this, &HLNFileTreeController::updateSelection);
    connect(_revealAction, &QAction::triggered, this, &HLNFileTreeController::revealSelectionInFinder);
    connect(_compressAction, &QAction::triggered, this, &HLNFileTreeController::compressSelection);
    connect(_trashAction, &QAction::triggered, this, &HLNFileTreeController::trashSelection);
    connect(_moveToTrashAction, &QAction::triggered, this, &HLNFileTreeController::moveSelectionToTrash);
    connect(selection, &QMenu::aboutToShow, this, &HLNFileTreeController::updateWhetherButtonsAreEnabled);
}

// ---------------------------------------------------------------------------
// Class-wide refresh requests

void HLNFileTreeController::updateUI() { HLNRefreshRequests::updateUI(); }
void HLNFileTreeController::updateUIIfNeeded() { HLNRefreshRequests::updateUIIfNeeded(); }
void HLNFileTreeController::mainThreadUpdateUI() { HLNRefreshRequests::mainThreadUpdateUI(); }

void HLNFileTreeController::_refreshDisplayForNotification() {
    HLNRefreshRequests::refreshWindow([this] { _refreshDisplay(); });
}

// ---------------------------------------------------------------------------
// Browser data source

Ref<HLNFile> HLNFileTreeController::_parentFileForColumn(int column) {
    if (column == 0) return _rootFile;
    const std::vector<int> rows = _browser->selectedRowsInColumn(column - 1);
    if (rows.size() != 1) return nullptr;
    const HLNFile::ChildList& list = cachedColumns.objectAtIndex(column - 1);
    if (!list || rows[0] >= static_cast<int>(list->size())) return nullptr;
    return (*list)[rows[0]];
}

HLNFile::ChildList HLNFileTreeController::_filesInColumn(int column, bool reorder) {
    if (column == 0) _browser->setTitleOfColumn(lastPathComponent(_rootPath), 0);
    Ref<HLNFile> parent = _parentFileForColumn(column);
    if (!parent) return nullptr;
    if (reorder) parent->sortChildren();
    return parent->children();
}

int HLNFileTreeController::browserNumberOfRowsInColumn(HLNColumnBrowser*, int column) {
    HLNFile::ChildList list = _filesInColumn(column, true);
    const int count = list ? static_cast<int>(list->size()) : 0;
    cachedColumns.setObjectAtIndex(std::move(list), column);
    return count;
}

void HLNFileTreeController::browserWillDisplayCell(HLNColumnBrowser*, HLNBrowserCell* cell, int row, int column) {
    const HLNFile::ChildList& list = cachedColumns.objectAtIndex(column);
    auto* fileCell = static_cast<HLNFileBrowserCell*>(cell);
    fileCell->setFile(list && row < static_cast<int>(list->size()) ? (*list)[row] : Ref<HLNFile>());
}

QString HLNFileTreeController::browserTitleOfColumn(HLNColumnBrowser*, int column) {
    if (column == 0) return lastPathComponent(_rootPath);
    Ref<HLNFile> parent = _parentFileForColumn(column);
    return parent ? HLNFileBrowserCell::displayStringForName(parent->nameView()) : QString();
}

bool HLNFileTreeController::browserIsColumnValid(HLNColumnBrowser*, int) { return false; }

std::vector<Ref<HLNFile>> HLNFileTreeController::selectedFiles() {
    std::vector<Ref<HLNFile>> files;
    for (HLNBrowserCell* cell : _browser->selectedCells())
        if (const Ref<HLNFile>& file = static_cast<HLNFileBrowserCell*>(cell)->file()) files.push_back(file);
    return files;
}

// ---------------------------------------------------------------------------
// Refresh

void HLNFileTreeController::_refreshDisplay() {
    QString title = QString("%1 - %2").arg(_rootFileTitle, bytesText(_rootFile->sizeSoFar()));
    switch (_rootFile->sizeStatus()) {
    case 0:
    case 1:
        title += QString(" (%1)").arg(localized("sizing"));
        break;
    case 3:
        title += QString(" (%1)").arg(localized("deleting"));
        break;
    case 2:
        break;
    }
    if (!_window->isMinimized()) _window->setWindowTitle(title);
    else _window->setProperty("hollinTitleAfterRestore", title);

    const int selectedColumn = _browser->selectedColumn();
    const std::vector<Ref<HLNFile>> selected = selectedFiles();
    const int oldCount = _browser->lastColumn() + 1;
    std::vector<QPoint> positions;
    for (int c = 0; c < oldCount; ++c) positions.push_back(_browser->scrollPositionOfColumn(c));

    _browser->validateVisibleColumns();

    if (selected.size() > 1 && selectedColumn >= 0 && selectedColumn <= _browser->lastColumn()) {
        // A multiple selection follows its nodes (identity, not name).
        std::unordered_map<const HLNFile*, int> rowOf;
        if (const HLNFile::ChildList& list = cachedColumns.objectAtIndex(selectedColumn))
            for (int row = static_cast<int>(list->size()) - 1; row >= 0; --row) rowOf[(*list)[row].get()] = row;
        std::vector<int> rows;
        for (auto it = selected.rbegin(); it != selected.rend(); ++it)
            if (auto found = rowOf.find(it->get()); found != rowOf.end()) rows.push_back(found->second);
        _browser->addRowsToSelectionInColumn(rows, selectedColumn);
    }
    // The re-read may have dropped the selection: the commands follow it.
    updateWhetherButtonsAreEnabled();

    const int n = std::min(oldCount, _browser->lastColumn() + 1);
    for (int c = 0; c < n; ++c)
        if (positions[c] != _browser->scrollPositionOfColumn(c)) _browser->scrollColumnToPosition(c, positions[c]);

    refreshSelectedFileInformation();
}

void HLNFileTreeController::refreshSelectedFileInformation() {
    const std::vector<Ref<HLNFile>> files = selectedFiles();
    if (files.empty()) {
        _fileSizeField->setText(QString());
        _descriptionDisplayer->setStringValue(QString());
        _filenameDisplayer->setStringValue(QString());
        _fileWell->setFilenames({});
        return;
    }
    std::vector<std::string> paths;
    paths.reserve(files.size());
    uint64_t total = 0;
    bool allComplete = true;
    for (const Ref<HLNFile>& file : files) {
        paths.push_back(file->path());
        if (!allComplete) continue;
        if (file->sizeStatus() == 2)
            total += file->sizeSoFar();
        else
            allComplete = false;
    }
    if (files.size() == 1) {
        const std::vector<std::string> shown = _fileWell->filenames();
        // The package lookup is only redone when the selection moved.
        if (!(shown.size() == 1 && shown[0] == paths[0])) {
            _filenameDisplayer->setStringValue(HLNFileBrowserCell::displayStringForName(files[0]->nameView()));
            _descriptionDisplayer->setStringValue(
                QString::fromStdString(HLNPackageReceipt::packageNamesForFilename(paths[0])));
        }
    } else {
        _filenameDisplayer->setStringValue(QString());
        _descriptionDisplayer->setStringValue(QString());
    }
    _fileSizeField->setText(allComplete ? bytesText(total) : QString("sizing"));
    _fileWell->setFilenames(paths);
}

// ---------------------------------------------------------------------------
// Commands

void HLNFileTreeController::selectBrowserCell() {
    for (const Ref<HLNFile>& file : selectedFiles()) {
        const int status = file->sizeStatus();
        if (status == 0 || status == 1) HLNBackgroundFileSizer::sizeFile(file);
    }
    refreshSelectedFileInformation();
    updateWhetherButtonsAreEnabled();
}

void HLNFileTreeController::updateSelection() {
    if (!_browser->selectedCells().empty()) {
        for (const Ref<HLNFile>& file : selectedFiles()) file->refreshSize();
        _browser->reloadColumn(_browser->selectedColumn() + 1);
    } else {
        _rootFile->refreshSize();
        _browser->loadColumnZero();
    }
    updateWhetherButtonsAreEnabled();
}

void HLNFileTreeController::revealSelectionInFinder() {
    std::vector<std::string> paths;
    for (const Ref<HLNFile>& file : selectedFiles())
        if (std::string path = file->path(); !path.empty()) paths.push_back(std::move(path));
    HLNWorkspace::revealPaths(paths);
    refreshSelectedFileInformation();
    updateWhetherButtonsAreEnabled();
}

void HLNFileTreeController::compressSelection() {}

void HLNFileTreeController::trashSelection() { _destroyFiles(selectedFiles()); }

bool HLNFileTreeController::_refuseFilesOverMountedDrives(const std::vector<Ref<HLNFile>>& files) {
    // One fresh read of the mount table judges the whole selection; should
    // it fail, the last table read stands in rather than nothing.
    HLNDrive::DriveList drives = HLNDrive::drives();
    if (!drives) drives = HLNDrive::cachedDrives();

    QStringList refusedNames;
    for (const Ref<HLNFile>& file : files)
        if (file->_hasDrivesMountedUnderneathFromDriveArray(drives)) refusedNames << HLNFileBrowserCell::displayStringForName(file->nameView());

    if (!refusedNames.isEmpty()) {
        const QString title = QString("It's impossible to delete %1 of these files, as other disks are mounted under them.")
                                  .arg(refusedNames.size());
        const QString message =
            QString("Deleting \"%1\" would wipe out some associated disks . You'd hate that. If you really think it's "
                    "safe to delete this, then unmount the disks and try again, but, honestly, this is almost never a "
                    "good idea.")
                .arg(refusedNames.join(", "));
        QMessageBox box(QMessageBox::Warning, "Hollin", title, QMessageBox::NoButton, _window);
        box.setInformativeText(message);
        QPushButton* cancel = box.addButton("Cancel", QMessageBox::RejectRole);
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        box.exec();
        return true;
    }
    return false;
}

void HLNFileTreeController::_destroyFiles(const std::vector<Ref<HLNFile>>& files) {
    if (_refuseFilesOverMountedDrives(files)) return;
    QMessageBox box(QMessageBox::Warning, "Hollin", "Destroy the selected files?", QMessageBox::NoButton, _window);
    box.setInformativeText("You aren't getting them back, so make sure you really want them gone.");
    QPushButton* destroy = box.addButton("Destroy", QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton("Cancel", QMessageBox::RejectRole);
    box.setDefaultButton(destroy);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() != destroy) return;
    for (const Ref<HLNFile>& file : files) file->trash();
}

void HLNFileTreeController::moveSelectionToTrash() {
    const std::vector<Ref<HLNFile>> files = selectedFiles();
    if (files.empty() || _refuseFilesOverMountedDrives(files)) return;
    // One alert for the whole selection, once every entry has been tried;
    // it offers Destroy while this window is still open.
    QPointer<HLNFileTreeController> self(this);
    HLNTrashMover::moveToTrash(files, [self](std::vector<HLNTrashMover::Failure> notMoved) {
        if (notMoved.empty()) return;
        QStringList lines;
        std::vector<Ref<HLNFile>> left;
        constexpr int shown = 10;
        for (const HLNTrashMover::Failure& f : notMoved) {
            left.push_back(f.file);
            if (lines.size() < shown)
                lines << QString("\"%1\": %2")
                             .arg(HLNFileBrowserCell::displayStringForName(f.file->nameView()),
                                  QString::fromStdString(f.reason));
        }
        if (notMoved.size() > size_t(shown)) lines << QString("and %1 more").arg(notMoved.size() - shown);
        QMessageBox box(QMessageBox::Warning, "Hollin",
                        QString("%1 of these files can't be moved to the Trash.").arg(notMoved.size()),
                        QMessageBox::NoButton, self ? self->_window : nullptr);
        const bool one = notMoved.size() == 1;
        box.setInformativeText(lines.join("\n") + (one ? "\n\nIt was left where it is. You can destroy it instead, for good."
                                                        : "\n\nThey were left where they are. You can destroy them "
                                                          "instead, for good."));
        QPushButton* destroy = self ? box.addButton("Destroy", QMessageBox::DestructiveRole) : nullptr;
        QPushButton* cancel = box.addButton(self ? "Cancel" : "OK", QMessageBox::RejectRole);
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        box.exec();
        if (destroy && box.clickedButton() == destroy && self) self->_destroyFiles(left);
    });
}

bool HLNFileTreeController::validateSelector(Action action) {
    const bool anySelected = !_browser->selectedCells().empty();
    switch (action) {
    case Action::UpdateSelection:
        return true;
    case Action::TrashSelection:
    case Action::MoveSelectionToTrash:
    case Action::CompressSelection:
    case Action::RevealSelection:
        return anySelected;
    case Action::Other:
        return true;
    }
    return true;
}

QAction* HLNFileTreeController::actionFor(Action action) const {
    switch (action) {
    case Action::UpdateSelection:
        return _updateAction;
    case Action::TrashSelection:
        return _trashAction;
    case Action::MoveSelectionToTrash:
        return _moveToTrashAction;
    case Action::RevealSelection:
        return _revealAction;
    case Action::CompressSelection:
        return _compressAction;
    case Action::Other:
        return nullptr;
    }
    return nullptr;
}

void HLNFileTreeController::updateWhetherButtonsAreEnabled() {
    _deleteButton->setEnabled(validateSelector(Action::TrashSelection));
    _moveToTrashButton->setEnabled(validateSelector(Action::MoveSelectionToTrash));
    _compressButton->setEnabled(validateSelector(Action::CompressSelection));
    _revealButton->setEnabled(validateSelector(Action::RevealSelection));
    _updateButton->setEnabled(validateSelector(Action::UpdateSelection));
    for (Action a : {Action::UpdateSelection, Action::TrashSelection, Action::MoveSelectionToTrash,
                     Action::RevealSelection, Action::CompressSelection})
        actionFor(a)->setEnabled(validateSelector(a));
}

// ---------------------------------------------------------------------------
// Window

QString HLNFileTreeController::displayPath(const std::string& path) {
    return HLNFileBrowserCell::displayStringForName(path);
}

QString HLNFileTreeController::frameKeyForPath(const std::string& path) {
    return "FileTreeWindowFrame/" + QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding());
}

void HLNFileTreeController::_saveFrame() {
    TFPreference::setString(frameKeyForPath(_rootPath).toStdString(), _window->saveGeometry().toBase64().toStdString());
}

bool HLNFileTreeController::eventFilter(QObject* watched, QEvent* event) {
    if (watched != _window) return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Close:
        if (!_closing) {
            _closing = true;
            _saveFrame();
            _browser->setDelegate(nullptr);
            TFNotificationCenter::defaultCenter().removeObserver(this);
            deleteLater(); // the controller and its window go at the end of this event
        }
        event->accept();
        return false;
    case QEvent::WindowStateChange:
        if (_window->isMinimized()) {
            _window->setProperty("hollinTitleAfterRestore", _window->windowTitle());
            _window->setWindowTitle(displayPath(_rootPath));
        } else if (QVariant title = _window->property("hollinTitleAfterRestore"); title.isValid()) {
            _window->setWindowTitle(title.toString());
            _window->setProperty("hollinTitleAfterRestore", QVariant());
        }
        return false;
    default:
        return false;
    }
}
