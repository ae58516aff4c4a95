#include "browser/HLNFileTreeController.h"

#include "browser/HLNCompressSheet.h"
#include "browser/HLNDesktopOpener.h"
#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileWell.h"
#include "browser/HLNFindPanel.h"
#include "browser/HLNShrinkingTextDisplayer.h"
#include "browser/HLNTreemapView.h"
#include "browser/HLNWindowGrowth.h"
#include "browser/HLNWorkspace.h"
#include "drives/HLNDrive.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNChangeFollower.h"
#include "model/HLNRefreshRequests.h"
#include "model/HLNSharedSpace.h"
#include "model/HLNTrashMover.h"
#include "receipts/HLNPackageReceipt.h"
#include "scans/HLNScanLoad.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFNotificationCenter.h"
#include "toolkit/TFPreference.h"
#include "toolkit/TFProcess.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTrash.h"
#include "toolkit/gui/TFWindowPlacement.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>

namespace {

QString localized(const char* key) {
    return QCoreApplication::translate("Hollin", key);
}

const char* const kCompressTip = "Make the selection take less space: recompressed in place on "
                                 "btrfs, otherwise archived and moved to the Trash";

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

// "/a/b" -> "b"; "/" stays "/".
QString lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (p == "/")
        return "/";
    const size_t slash = p.rfind('/');
    return TFString::displayStringForName(slash == std::string::npos ? p : p.substr(slash + 1));
}

// Tells the user that a root path cannot be browsed, without waiting.
// error: the errno of examining it, or 0 when it exists but could not be read.
void reportUnopenablePath(const std::string& path, int error) {
    auto* box = new QMessageBox(
        QMessageBox::Warning, "Hollin",
        QString("Hollin can't open \"%1\".").arg(HLNFileTreeController::displayPath(path)));
    const QString reason =
        error ? QString::fromLocal8Bit(std::strerror(error)) : QString("it could not be read");
    box->setInformativeText(QString("The folder could not be examined: %1.").arg(reason));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setStandardButtons(QMessageBox::Ok);
    box->show();
}

} // namespace

// ---------------------------------------------------------------------------
// Opening

std::string HLNFileTreeController::rootPathForPath(const std::string& given) {
    if (given.empty())
        return given;
    std::string absolute = given;
    if (absolute[0] != '/') {
        const std::optional<std::string> cwd = TFProcess::workingFolder();
        if (!cwd)
            return given;
        absolute = *cwd + "/" + absolute;
    }
    // "." and empty components go; links stay as the user named them. A ".."
    // means the parent of what is really there, which only the kernel
    // knows after a link: such a path is resolved whole.
    std::string clean;
    size_t start = 1;
    while (start <= absolute.size()) {
        size_t end = absolute.find('/', start);
        if (end == std::string::npos)
            end = absolute.size();
        const std::string_view part(absolute.data() + start, end - start);
        if (part == "..") {
            // Opening it reports why, under the name given.
            return TFDirectory::resolvedPathFollowingLinks(absolute).value_or(absolute);
        }
        if (!part.empty() && part != ".")
            clean += "/" + std::string(part);
        start = end + 1;
    }
    return clean.empty() ? "/" : clean;
}

HLNFileTreeController* HLNFileTreeController::initWithPath(const std::string& given) {
    const std::string path = rootPathForPath(given);
    Ref<HLNFile> root = path.empty()
                            ? Ref<HLNFile>()
                            : HLNFile::initWithParent(nullptr, path, HLNFile::Asker::window);
    if (!root) {
        const int error = TFDirectory::examinePath(path).error;
        reportUnopenablePath(given, error);
        return nullptr;
    }
    return new HLNFileTreeController(std::move(root), path);
}

HLNFileTreeController* HLNFileTreeController::initWithScan(const std::string& scanPath) {
    std::string error;
    HLNScanLoad::Opening opening = HLNScanLoad::open(scanPath, &error);
    HLNScanReader::Scan* scan = &opening.scan;
    if (!scan->root) {
        std::fprintf(stderr, "hollin: %s: %s\n", scanPath.c_str(), error.c_str());
        auto* box = new QMessageBox(
            QMessageBox::Warning, "Hollin",
            QString("Hollin can't open the scan \"%1\".").arg(displayPath(scanPath)));
        box->setInformativeText(QString::fromStdString(TFString::stringWithDataUTF8(error)) + ".");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setStandardButtons(QMessageBox::Ok);
        box->show();
        return nullptr;
    }
    const QString date =
        scan->timestamp > 0
            ? QDateTime::fromSecsSinceEpoch(scan->timestamp).toString("yyyy-MM-dd HH:mm")
            : QString("unknown date");
    const std::string scanned = scan->root->path();
    auto* controller = new HLNFileTreeController(std::move(scan->root), scanned, true, date,
                                                 rootPathForPath(scanPath));
    if (opening.load) { // the window fills as the rest is read
        controller->_scanLoad = std::move(opening.load);
        controller->_scanLoad->onEnded(
            [controller](const std::string& problem) { controller->_scanEnded(problem); });
        controller->_showStatus();
    }
    return controller;
}

void HLNFileTreeController::_scanEnded(const std::string& problem) {
    const uint64_t entries = _scanLoad->entriesRead();
    _scanLoad = nullptr;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch() - _sizingStartedMs;
    if (problem.empty()) {
        _scanNote = QString("%1 %2 read in %3 s")
                        .arg(QLocale().toString(qulonglong(entries)),
                             entries == 1 ? QString("item") : QString("items"),
                             QLocale().toString(ms / 1000.0, 'f', 1));
    } else {
        // What was read before the damage stays shown, and says so.
        std::fprintf(stderr, "hollin: %s: %s\n", _scanFile.c_str(), problem.c_str());
        _scanNote = QString("The scan is damaged (%1); only what was read before it is shown.")
                        .arg(QString::fromStdString(TFString::stringWithDataUTF8(problem)));
    }
    // The scan's last entries asked for a refresh already: one more now
    // would redraw a huge tree twice in a row.
    HLNRefreshRequests::updateUI();
    _showStatus();
}

namespace {
std::vector<HLNFileTreeController*>& openControllerList() {
    static std::vector<HLNFileTreeController*> list;
    return list;
}
HLNFileTreeController::DriveAccountOpener& driveAccountOpener() {
    static HLNFileTreeController::DriveAccountOpener opener;
    return opener;
}
} // namespace

const std::vector<HLNFileTreeController*>& HLNFileTreeController::openControllers() {
    return openControllerList();
}

void HLNFileTreeController::setDriveAccountOpener(DriveAccountOpener opener) {
    driveAccountOpener() = std::move(opener);
}

bool HLNFileTreeController::_rootIsMountPoint() const {
    if (HLNDrive::DriveList drives = HLNDrive::cachedDrives())
        for (const Ref<HLNDrive>& drive : *drives)
            if (drive->location() == _rootPath)
                return true;
    return false;
}

HLNFileTreeController::HLNFileTreeController(Ref<HLNFile> root, const std::string& path,
                                             bool isScan, const QString& scanDate,
                                             const std::string& scanFile)
    : _rootFile(std::move(root)), _rootPath(path), _isScan(isScan), _scanDate(scanDate),
      _scanFile(scanFile) {
    // Counted from here: column 0 may list the root's entries before the
    // sizing thread starts on it. The root itself is one.
    _sizingStartedMs = QDateTime::currentMSecsSinceEpoch();
    _nodesAtSizingStart = HLNFile::nodesCreated() - 1;
    _rootFileTitle = displayPath(_rootPath);
    openControllerList().push_back(this);
    applyViewChoices();
    if (_rootPath == "/" && !_isScan)
        if (Ref<HLNDrive> drive = HLNDrive::cachedDriveContainingPath("/"))
            _rootFileTitle = TFString::displayStringForName(drive->displayName());

    _growth = std::make_unique<HLNWindowGrowth>(this);
    _buildWindow();
    _growth->windowBuilt();

    _browser->setCellPrototype(std::make_unique<HLNFileBrowserCell>());
    _browser->setDelegate(this);
    connect(_browser, &HLNColumnBrowser::action, this, &HLNFileTreeController::selectBrowserCell);
    connect(_browser, &HLNColumnBrowser::doubleAction, this,
            &HLNFileTreeController::revealSelectionInFinder);
    connect(_browser, &HLNColumnBrowser::contextMenuRequested, this,
            &HLNFileTreeController::showContextMenu);
    _browser->setMaxVisibleColumns(15);
    _browser->setMinColumnWidth(175);
    _browser->loadColumnZero();
    // The arrow keys work at once, without a click first.
    if (QWidget* first = _browser->viewOfColumn(0))
        first->setFocus();

    _treemap->setRootFile(_rootFile);
    connect(_splitter, &QSplitter::splitterMoved, this, [this] {
        if (_window->isVisible() && !_closing)
            _saveFrame();
    });
    connect(_treemap, &HLNTreemapView::fileClicked, this,
            &HLNFileTreeController::selectFileInBrowser);
    connect(_treemap, &HLNTreemapView::zoomChanged, this,
            &HLNFileTreeController::updateWhetherButtonsAreEnabled);

    _fileWell->setEditable(false);
    _fileWell->setDraggable(!_isScan);

    const std::string frame =
        TFPreference::preferenceForKey(frameKeyForPath(_rootPath).toStdString()).stringValue();
    if (frame.empty() ||
        !_window->restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(frame))))
        _window->resize(960, 720);
    // Whole on the screen it opens on (a frame saved on a larger screen, a
    // scale factor), and not exactly over the window opened before it.
    TFWindowPlacement::fitToScreen(_window);
    TFWindowPlacement::cascade(_window);
    const TFPreference shown =
        TFPreference::preferenceForKey(treemapShownKeyForPath(_rootPath).toStdString());
    treemapAction()->setChecked(!shown.exists() || shown.boolValue());
    _treemap->setVisible(treemapAction()->isChecked());
    QList<int> sizes; // "columns,map" in pixels
    const std::string split =
        TFPreference::preferenceForKey(splitterKeyForPath(_rootPath).toStdString()).stringValue();
    for (const QByteArray& part : QByteArray::fromStdString(split).split(','))
        if (const int pixels = part.toInt(); pixels > 0)
            sizes << pixels;
    _splitterSizes = sizes.size() == 2 ? sizes : QList<int>{360, 260};
    _splitter->setSizes(_splitterSizes);
    _window->setWindowFilePath(displayPath(_rootPath));

    _window->setWindowTitle(QString("%1 (%2)").arg(displayPath(_rootPath), localized("sizing")));
    _window->show();
    if (QGuiApplication::platformName() != "offscreen") { // it has no window stacking
        _window->raise();
        _window->activateWindow();
    }

    TFNotificationCenter::defaultCenter().addObserver(
        this, HLNRefreshUserInterfaceNotificationName,
        [this](const std::string&) { _refreshDisplayForNotification(); });
    if (_isScan) {
        _refreshDisplay(); // complete as read: no sizing to wait for
    } else {
        HLNBackgroundFileSizer::sizeFile(_rootFile);
    }

    refreshSelectedFileInformation();
    updateWhetherButtonsAreEnabled();
}

HLNFileTreeController::~HLNFileTreeController() {
    auto& open = openControllerList();
    open.erase(std::remove(open.begin(), open.end(), this), open.end());
    TFNotificationCenter::defaultCenter().removeObserver(this);
    if (_browser)
        _browser->setDelegate(nullptr);
    delete _window;
    cachedColumns.removeAllObjects();
    // The tree is released on a thread of its own (a scan still being read,
    // once its reading has stopped).
    if (_rootFile && !(_scanLoad && _scanLoad->cancel()))
        _rootFile->invalidate();
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

    // The columns above, the map of the same tree below.
    _splitter = new QSplitter(Qt::Vertical, central);
    _splitter->setChildrenCollapsible(false);
    _browser = new HLNColumnBrowser(_splitter);
    _treemap = new HLNTreemapView(_splitter);
    _splitter->addWidget(_browser);
    _splitter->addWidget(_treemap);
    _splitter->setStretchFactor(0, 3);
    _splitter->setStretchFactor(1, 2);
    // The Find bar and its list, above the columns while shown (outside the
    // splitter, whose saved sizes are the columns' and the map's).
    _findPanel = new HLNFindPanel(_rootFile, central);
    _findPanel->setMaximumHeight(280);
    layout->insertWidget(0, _findPanel);
    _findPanel->hide();
    _findPanel->onChoose = [this](const Ref<HLNFile>& node) { selectFileInBrowser(node); };
    _findPanel->onChooseSeveral = [this] {
        refreshSelectedFileInformation();
        updateWhetherButtonsAreEnabled();
    };
    _findPanel->onDelete = [this] { moveSelectionToTrash(); };
    _findPanel->onClose = [this] { findAction()->setChecked(false); };
    _findPanel->onHighlight = [this](uint8_t kind, std::optional<std::string> extension) {
        _treemap->highlight(kind, std::move(extension));
    };
    _findTimer = new QTimer(this);
    _findTimer->setSingleShot(true);
    connect(_findTimer, &QTimer::timeout, this, [this] {
        _lastFindMs = QDateTime::currentMSecsSinceEpoch();
        if (_findPanel->isVisible())
            _findPanel->search();
    });
    layout->addWidget(_splitter, 1);

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
    _measuresField = new QLabel(central);
    _measuresField->setTextInteractionFlags(Qt::TextSelectableByMouse);
    _measuresField->setAlignment(Qt::AlignCenter);
    info->addWidget(_fileSizeField);
    info->addWidget(_measuresField);
    info->addWidget(_filenameDisplayer);
    info->addWidget(_descriptionDisplayer);
    summary->addLayout(info, 1);

    auto* buttons = new QGridLayout;
    buttons->setHorizontalSpacing(6);
    buttons->setVerticalSpacing(4);
    // The rows' menu and the buttons, with the menu bar, from the table.
    _contextMenu = new QMenu(_window);
    _contextMenu->setObjectName("rowContextMenu");
    _commands = _commandTable();
    _growth->addCommands(_commands);
    HLNWindowCommand::buildAll(_commands, _window, _contextMenu, buttons, central, this,
                               [this] { updateWhetherButtonsAreEnabled(); });
    summary->addLayout(buttons);
    layout->addLayout(summary);
    _window->setCentralWidget(central);
    QStatusBar* status = _window->statusBar();
    _statusField = new QLabel(status);
    _statusField->setObjectName("statusField");
    status->addWidget(_statusField, 1);
    _trashNote = new QLabel(status);
    _trashNote->setObjectName("trashNote");
    _undoButton = new QPushButton("Undo", status);
    _undoButton->setObjectName("undoMoveToTrash");
    _undoButton->setToolTip("Put what was moved back where it was");
    _undoButton->setFocusPolicy(Qt::NoFocus);
    _window->statusBar()->addPermanentWidget(_trashNote);
    _window->statusBar()->addPermanentWidget(_undoButton);
    _trashNote->hide();
    _undoButton->hide();
    _undoButton->setEnabled(false);
    _trashNoteTimer = new QTimer(this);
    _trashNoteTimer->setSingleShot(true);
    connect(_trashNoteTimer, &QTimer::timeout, this, [this] {
        _trashNote->hide();
        _undoButton->hide();
        _undoButton->setEnabled(false);
        _movedToTrash.clear();
    });
    connect(_undoButton, &QPushButton::clicked, this, &HLNFileTreeController::undoMoveToTrash);
}

namespace {
const char* const kFigureKey = "ShownFigure";
const char* const kEachLinkKey = "CountEachHardLink";
const char* const kDatesKey = "ShowModificationDates";
} // namespace

void HLNFileTreeController::applyViewChoices() {
    static bool applied = false;
    if (std::exchange(applied, true))
        return;
    const std::string figure = TFPreference::preferenceForKey(kFigureKey).stringValue();
    for (int f = 0; f < 3; ++f)
        if (figure == kFigureNames[f])
            HLNFile::setShownFigure(HLNFile::Figure(f));
    HLNFile::setCountsEachName(TFPreference::preferenceForKey(kEachLinkKey).boolValue());
    HLNFileBrowserCell::setShowsDates(TFPreference::preferenceForKey(kDatesKey).boolValue());
}

void HLNFileTreeController::_showFigure(HLNFile::Figure figure, bool on) {
    if (on && HLNFile::shownFigure() != figure) {
        HLNFile::setShownFigure(figure);
        TFPreference::setString(kFigureKey, kFigureNames[int(figure)]);
    }
    _viewChoicesChanged(false); // the one shown is checked, and only it
}

std::vector<HLNWindowCommand> HLNFileTreeController::_commandTable() {
    using Button = HLNWindowCommand::Button;
    const auto anySelected = [this] { return !selectedFiles().empty(); };
    return {
        {.name = "closeWindow",
         .menu = "&File",
         .text = "&Close Window",
         .keys = {QKeySequence::Close},
         .run = [this](bool) { _window->close(); }},
        {.name = "accountForDrive",
         .menu = "&File",
         .text = "&Account for Drive…",
         .separatorBefore = true,
         .present = [this] { return !_isScan && driveAccountOpener() && _rootIsMountPoint(); },
         .run =
             [this](bool) {
                 if (driveAccountOpener())
                     driveAccountOpener()(_rootPath);
             }},

        {.name = "updateSelection",
         .menu = "&Selection",
         .text = "&Update",
         .keys = {QKeySequence(Qt::CTRL | Qt::Key_R), QKeySequence(Qt::Key_F5)},
         .rowsMenuPlace = 20,
         .button = Button{.text = "Update",
                          .toolTip = "Measure the selection again, or the whole folder when "
                                     "nothing is selected",
                          .row = 0,
                          .column = 0},
         .needsFiles = true,
         .run = [this](bool) { updateSelection(); }},
        {.name = "revealSelection",
         .menu = "&Selection",
         .text = "&Reveal in File Manager",
         .keys = {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)},
         .rowsMenuPlace = 10,
         .button = Button{.text = "Reveal",
                          .toolTip = "Show the selection in the file manager",
                          .row = 0,
                          .column = 1},
         .needsFiles = true,
         .enabled = anySelected,
         .run = [this](bool) { revealSelectionInFinder(); }},
        {.name = "openSelection",
         .menu = "&Selection",
         .text = "&Open",
         .keys = {QKeySequence(Qt::CTRL | Qt::Key_Return)},
         .rowsMenuPlace = 11,
         .needsFiles = true,
         .enabled = anySelected,
         .run = [this](bool) { openSelection(); }},
        {.name = "copySelectionPath",
         .menu = "&Selection",
         .text = "Copy &Path",
         .keys = {QKeySequence::Copy},
         .rowsMenuPlace = 12,
         .enabled = anySelected, // a scan's paths are worth copying too
         .run = [this](bool) { copySelectionPath(); }},
        {.name = "compressSelection",
         .menu = "&Selection",
         .text = "&Compress",
         .toolTip = kCompressTip,
         .button = Button{.text = "Compress",
                          .toolTip = kCompressTip,
                          .row = 1,
                          .column = 0,
                          .takesFocus = false},
         .needsFiles = true,
         .enabled = anySelected,
         .run = [this](bool) { compressSelection(); }},
        {.name = "moveSelectionToTrash",
         .menu = "&Selection",
         .text = "&Move to Trash",
         .keys = {QKeySequence(Qt::Key_Delete)}, // the file managers' key for it
         .separatorBefore = true,
         .rowsMenuPlace = 30,
         .button = Button{.text = "Move to Trash",
                          .toolTip = "Move the selection to the trash, from where it can be "
                                     "restored",
                          .row = 1,
                          .column = 1,
                          .takesFocus = false},
         .needsFiles = true,
         .enabled = anySelected,
         .run = [this](bool) { moveSelectionToTrash(); }},
        {.name = "trashSelection", // the application gives it its key once launched
         .menu = "&Selection",
         .text = "&Destroy…",
         .keys = {QKeySequence(Qt::CTRL | Qt::Key_Backspace)},
         .rowsMenuPlace = 31,
         .button = Button{.text = "Destroy",
                          .toolTip = "Delete the selection from disk for good",
                          .row = 1,
                          .column = 2,
                          .takesFocus = false},
         .needsFiles = true,
         .enabled = anySelected,
         .run = [this](bool) { trashSelection(); }},
        {.name = "find",
         .menu = "&Selection",
         .text = "&Find…",
         .keys = {QKeySequence::Find},
         .separatorBefore = true,
         .checkable = true,
         .run =
             [this](bool on) {
                 _findPanel->setVisible(on);
                 if (on) {
                     _findPanel->search();
                     _lastFindMs = QDateTime::currentMSecsSinceEpoch();
                     _findPanel->setFocus();
                 } else {
                     _treemap->highlight(HLNFileKind::KindCount, std::nullopt);
                     _browser->setFocus();
                 }
             }},

        {.name = "treemap",
         .menu = "&View",
         .text = "Treemap",
         .keys = {QKeySequence(Qt::CTRL | Qt::Key_T)},
         .checkable = true,
         .checked = true,
         .run =
             [this](bool on) {
                 if (!on)
                     _splitterSizes = _splitter->sizes(); // a hidden pane counts as 0 pixels
                 _treemap->setVisible(on);
                 if (on)
                     _splitter->setSizes(_splitterSizes);
                 updateWhetherButtonsAreEnabled();
             }},
        {.name = "zoomOut",
         .menu = "&View",
         .text = "Zoom Out",
         .enabled = [this] { return treemapAction()->isChecked() && _treemap->canZoomOut(); },
         .run = [this](bool) { _treemap->zoomOut(); }},
        {.name = "followChanges",
         .menu = "&View",
         .text = "Follow Changes",
         .separatorBefore = true,
         .checkable = true,
         .checked = !_isScan,
         .needsFiles = true,
         .run =
             [this](bool on) {
                 if (!on) {
                     _follower.reset(); // its marks or watches go with it
                     _showStatus();
                 } else if (_rootFile->sizeStatus() == SizeStatus::complete) {
                     // What changed while nothing followed is read again first.
                     _rootFile->refreshSize();
                 }
             }},
        {.name = "diskUsage",
         .menu = "&View/Show",
         .text = "Disk Usage",
         .checkable = true,
         .checked = HLNFile::shownFigure() == HLNFile::Figure::diskUsage,
         .run = [](bool on) { _showFigure(HLNFile::Figure::diskUsage, on); }},
        {.name = "apparentSize",
         .menu = "&View/Show",
         .text = "Apparent Size",
         .checkable = true,
         .checked = HLNFile::shownFigure() == HLNFile::Figure::apparentSize,
         .run = [](bool on) { _showFigure(HLNFile::Figure::apparentSize, on); }},
        {.name = "items",
         .menu = "&View/Show",
         .text = "Items",
         .checkable = true,
         .checked = HLNFile::shownFigure() == HLNFile::Figure::items,
         .run = [](bool on) { _showFigure(HLNFile::Figure::items, on); }},
        {.name = "countEachHardLink",
         .menu = "&View",
         .text = "Count Each Hard Link",
         .checkable = true,
         .checked = TFPreference::preferenceForKey(kEachLinkKey).boolValue(),
         .run =
             [](bool on) {
                 TFPreference::setBool(kEachLinkKey, on);
                 HLNFile::setCountsEachName(on);
                 _viewChoicesChanged(true);
             }},
        {.name = "showModificationDates",
         .menu = "&View",
         .text = "Show Modification Dates",
         .checkable = true,
         .checked = HLNFileBrowserCell::showsDates(),
         .run =
             [](bool on) {
                 TFPreference::setBool(kDatesKey, on);
                 HLNFileBrowserCell::setShowsDates(on);
                 _viewChoicesChanged(false);
             }},
        {.name = "showSharedSpace",
         .menu = "&View",
         .text = "Show Shared Space",
         .toolTip = "Show what each entry holds alone (freed if deleted) and what it shares "
                    "with copies or snapshots",
         .checkable = true,
         .present = [this] { return !_isScan; },
         .run = [this](bool on) { _showSharedSpace(on); }},
    };
}

// ---------------------------------------------------------------------------
// Class-wide refresh requests

void HLNFileTreeController::updateUI() {
    HLNRefreshRequests::updateUI();
}
void HLNFileTreeController::updateUIIfNeeded() {
    HLNRefreshRequests::updateUIIfNeeded();
}
void HLNFileTreeController::mainThreadUpdateUI() {
    HLNRefreshRequests::mainThreadUpdateUI();
}

void HLNFileTreeController::_refreshDisplayForNotification() {
    HLNRefreshRequests::refreshWindow([this] { _refreshDisplay(); });
}

// ---------------------------------------------------------------------------
// Browser data source

Ref<HLNFile> HLNFileTreeController::_parentFileForColumn(int column) {
    if (column == 0)
        return _rootFile;
    const std::vector<int> rows = _browser->selectedRowsInColumn(column - 1);
    if (rows.size() != 1)
        return nullptr;
    const HLNFile::ChildList& list = cachedColumns.objectAtIndex(column - 1);
    if (!list || rows[0] >= static_cast<int>(list->size()))
        return nullptr;
    return (*list)[rows[0]];
}

HLNFile::ChildList HLNFileTreeController::_filesInColumn(int column, bool reorder) {
    if (column == 0)
        _browser->setTitleOfColumn(lastPathComponent(_rootPath), 0);
    Ref<HLNFile> parent = _parentFileForColumn(column);
    if (!parent)
        return nullptr;
    if (reorder)
        parent->sortChildren(HLNFile::Asker::window);
    if (reorder && _growth->ordersByGrowth())
        return _growth->ordered(parent->children(HLNFile::Asker::window));
    return parent->children(HLNFile::Asker::window);
}

int HLNFileTreeController::browserNumberOfRowsInColumn(HLNColumnBrowser*, int column) {
    HLNFile::ChildList list = _filesInColumn(column, true);
    const int count = list ? static_cast<int>(list->size()) : 0;
    cachedColumns.setObjectAtIndex(std::move(list), column);
    // New rows: the whole window is read again before it is next drawn.
    if (column < static_cast<int>(_shownColumns.size()))
        _shownColumns[column].clear();
    _readingStale = true;
    return count;
}

void HLNFileTreeController::browserWillDisplayCell(HLNColumnBrowser*, HLNBrowserCell* cell, int row,
                                                   int column) {
    const HLNFile::ChildList& list = cachedColumns.objectAtIndex(column);
    auto* fileCell = static_cast<HLNFileBrowserCell*>(cell);
    fileCell->setFile(list && row < static_cast<int>(list->size()) ? (*list)[row] : Ref<HLNFile>());
    fileCell->setReading(this, column, row);
}

QString HLNFileTreeController::browserTitleOfColumn(HLNColumnBrowser*, int column) {
    if (column == 0)
        return lastPathComponent(_rootPath);
    Ref<HLNFile> parent = _parentFileForColumn(column);
    return parent ? TFString::displayStringForName(parent->nameView()) : QString();
}

bool HLNFileTreeController::browserIsColumnValid(HLNColumnBrowser*, int) {
    return false;
}

std::vector<Ref<HLNFile>> HLNFileTreeController::selectedFiles() {
    std::vector<Ref<HLNFile>> files;
    // Several rows chosen in the Find list: the commands act on them, with
    // the same guards (the nodes are the tree's).
    if (_findPanel && _findPanel->isVisible() && _findPanel->actsOnResults()) {
        for (Ref<HLNFile>& file : _findPanel->selectedResults())
            if (!file->isInvalidated())
                files.push_back(std::move(file));
        return files;
    }
    for (HLNBrowserCell* cell : _browser->selectedCells())
        if (const Ref<HLNFile>& file = static_cast<HLNFileBrowserCell*>(cell)->file())
            files.push_back(file);
    return files;
}

// ---------------------------------------------------------------------------
// Refresh

void HLNFileTreeController::_refreshDisplay() {
    _growth->refresh(); // the rows' order and notes come from it
    const int selectedColumn = _browser->selectedColumn();
    const std::vector<Ref<HLNFile>> selected = selectedFiles();
    const int oldCount = _browser->lastColumn() + 1;
    std::vector<QPoint> positions;
    for (int c = 0; c < oldCount; ++c)
        positions.push_back(_browser->scrollPositionOfColumn(c));

    _rebuilding = true; // the cells read their nodes until the columns stand
    struct Rebuilt {
        bool& flag;
        ~Rebuilt() { flag = false; }
    } rebuilt{_rebuilding};
    _browser->validateVisibleColumns();

    if (selected.size() > 1 && selectedColumn >= 0 && selectedColumn <= _browser->lastColumn()) {
        // A multiple selection follows its nodes (identity, not name).
        std::unordered_map<const HLNFile*, int> rowOf;
        if (const HLNFile::ChildList& list = cachedColumns.objectAtIndex(selectedColumn))
            for (int row = static_cast<int>(list->size()) - 1; row >= 0; --row)
                rowOf[(*list)[row].get()] = row;
        std::vector<int> rows;
        for (auto it = selected.rbegin(); it != selected.rend(); ++it)
            if (auto found = rowOf.find(it->get()); found != rowOf.end())
                rows.push_back(found->second);
        _browser->addRowsToSelectionInColumn(rows, selectedColumn);
    }
    // The re-read may have dropped the selection: the commands follow it.
    updateWhetherButtonsAreEnabled();

    const int n = std::min(oldCount, _browser->lastColumn() + 1);
    for (int c = 0; c < n; ++c)
        if (positions[c] != _browser->scrollPositionOfColumn(c))
            _browser->scrollColumnToPosition(c, positions[c]);

    _rebuilding = false;
    _refreshed = true;
    _followChanges();
    // One moment for the whole window: the title, the summary and every
    // cell show the figures of this one reading.
    _takeReading();
    _treemap->refresh();
}

void HLNFileTreeController::_viewChoicesChanged(bool resize) {
    HLNFileBrowserCell::restyleAll();
    for (HLNFileTreeController* controller : openControllerList()) {
        // The items show the choices; their handlers are not asked again.
        auto show = [](QAction* action, bool checked) {
            const QSignalBlocker quiet(action);
            action->setChecked(checked);
        };
        for (int f = 0; f < 3; ++f)
            show(controller->figureAction(HLNFile::Figure(f)),
                 HLNFile::shownFigure() == HLNFile::Figure(f));
        show(controller->eachLinkAction(),
             TFPreference::preferenceForKey(kEachLinkKey).boolValue());
        show(controller->datesAction(), HLNFileBrowserCell::showsDates());
        // A scan counts as it was read; a folder is sized again.
        if (resize && !controller->_isScan)
            controller->_rootFile->refreshSize();
        controller->_refreshDisplay();
    }
}

void HLNFileTreeController::_takeReading() {
    _readingStale = false;
    {
        HLNFile::TreeGuard held;
        _shownRoot = _rootFile->snapshot();
        const int columns = _browser->lastColumn() + 1;
        _shownColumns.resize(columns);
        for (int c = 0; c < columns; ++c) {
            std::vector<HLNFile::Snapshot>& shown = _shownColumns[c];
            shown.clear();
            if (const HLNFile::ChildList& list = cachedColumns.objectAtIndex(c)) {
                shown.reserve(list->size());
                for (const Ref<HLNFile>& node : *list)
                    shown.push_back(node->snapshot());
            }
        }
    }
    _shownExclusive.clear();
    if (_sharedSpace) {
        // Outside the tree lock: the side table's lock is never taken inside it.
        _shownExclusive.resize(_shownColumns.size());
        for (size_t c = 0; c < _shownColumns.size(); ++c)
            if (const HLNFile::ChildList& list = cachedColumns.objectAtIndex(int(c)))
                for (size_t row = 0; row < _shownColumns[c].size() && row < list->size(); ++row) {
                    HLNSharedSpace::Figures f;
                    const bool known =
                        _sharedSpace->figuresOf((*list)[row], _shownColumns[c][row], f);
                    _shownExclusive[c].emplace_back(
                        (*list)[row].get(), known ? std::optional(f.exclusive) : std::nullopt);
                }
    }
    _showTitle();
    refreshSelectedFileInformation();
    _showStatus();
    // The list follows the tree: while it is sized, at most once a second,
    // and once more after the last change.
    if (_findPanel->isVisible() && !_findTimer->isActive())
        _findTimer->start(int(std::clamp<qint64>(
            1000 - (QDateTime::currentMSecsSinceEpoch() - _lastFindMs), 0, 1000)));
    for (int c = 0; c <= _browser->lastColumn(); ++c)
        if (auto* view = qobject_cast<QAbstractItemView*>(_browser->viewOfColumn(c)))
            view->viewport()->update();
}

void HLNFileTreeController::_followChanges() {
    if (_isScan || _closing || !followAction()->isChecked() ||
        _rootFile->sizeStatus() != SizeStatus::complete || !HLNBackgroundFileSizer::isIdle())
        return;
    std::vector<Ref<HLNFile>> shown;
    for (int c = 0; c <= _browser->lastColumn(); ++c)
        if (Ref<HLNFile> parent = _parentFileForColumn(c))
            shown.push_back(std::move(parent));
    if (!_follower) {
        _follower = std::make_unique<HLNChangeFollower>(_rootFile, _rootPath);
        _follower->onFollowingChanged = [this] { _showStatus(); };
    }
    _follower->setShownFolders(shown);
    _follower->treeSettled();
}

QString HLNFileTreeController::_liveText() const {
    if (!_follower)
        return QString();
    const uint64_t notFollowed = _follower->foldersNotFollowed();
    if (notFollowed == 0)
        return QString(" \u2014 live");
    return QString(" \u2014 live (%1 %2 not followed)")
        .arg(QLocale().toString(qulonglong(notFollowed)),
             notFollowed == 1 ? QString("folder") : QString("folders"));
}

bool HLNFileTreeController::shownSnapshot(const HLNFile* file, int column, int row,
                                          HLNFile::Snapshot& out) {
    if (column < 0 || column >= static_cast<int>(_shownColumns.size()) || row < 0)
        return false;
    const std::vector<HLNFile::Snapshot>& shown = _shownColumns[column];
    const HLNFile::ChildList& list = cachedColumns.objectAtIndex(column);
    if (!list || row >= static_cast<int>(shown.size()) || row >= static_cast<int>(list->size()) ||
        (*list)[row].get() != file)
        return false;
    out = shown[row];
    return true;
}

bool HLNFileTreeController::noteFor(const HLNFile* file, QString& text, QColor& color) {
    const HLNWindowGrowth::Mark* mark = _growth ? _growth->markOf(file) : nullptr;
    if (!mark || (text = HLNWindowGrowth::changeText(*mark)).isEmpty())
        return false;
    color = HLNWindowGrowth::textColorOf(*mark);
    return true;
}

bool HLNFileTreeController::exclusiveBytes(const HLNFile* file, int column, int row,
                                           std::optional<uint64_t>& out) {
    if (!_sharedSpace)
        return false;
    out.reset();
    if (column >= 0 && column < int(_shownExclusive.size()) && row >= 0 &&
        row < int(_shownExclusive[column].size()) && _shownExclusive[column][row].first == file)
        out = _shownExclusive[column][row].second;
    return true;
}

void HLNFileTreeController::_showSharedSpace(bool on) {
    if (on && !_sharedSpace)
        _sharedSpace =
            std::make_unique<HLNSharedSpace>(_rootFile, [] { HLNRefreshRequests::updateUI(); });
    else if (!on)
        _sharedSpace.reset(); // its thread stops and its table goes
    _takeReading();
}

QString
HLNFileTreeController::_sharedSpaceText(const std::vector<Ref<HLNFile>>& files,
                                        const std::vector<HLNFile::Snapshot>& figures) const {
    HLNSharedSpace::Figures total;
    for (size_t i = 0; i < files.size(); ++i) {
        HLNSharedSpace::Figures f;
        if (!_sharedSpace->figuresOf(files[i], figures[i], f))
            return QString::fromUtf8("exclusive and shared space: computing\u2026");
        total.exclusive += f.exclusive;
        total.shared += f.shared;
        total.countedOnce = f.countedOnce; // of one entry alone
        total.approximate = f.approximate;
        total.compressed += f.compressed;
        total.compressedError = f.compressedError;
    }
    QStringList parts;
    parts << QString("%1 exclusive (freed if deleted, at least)").arg(bytesText(total.exclusive));
    parts << QString("%1 shared (held by copies or snapshots too)").arg(bytesText(total.shared));
    // Blocks shared between the entries of one folder, counted once.
    if (files.size() == 1 && figures[0].isDirectory && !figures[0].isLink)
        parts << QString("%1%2 counted once")
                     .arg(total.approximate ? "at most " : "", bytesText(total.countedOnce));
    // On btrfs: compressed, what it takes on disk; only the administrator can read it.
    if (total.compressedError == 0)
        parts << QString("%1 on disk once compressed").arg(bytesText(total.compressed));
    else if (total.compressedError != ENOTSUP)
        parts << QString("the compressed size needs the administrator: run Hollin as root "
                         "(with sudo) to read it");
    return parts.join(QString::fromUtf8(" \u00b7 "));
}

void HLNFileTreeController::_showTitle() {
    if (!_refreshed)
        return; // the path and "sizing" stand until the first refresh
    const std::optional<uint64_t> figure = HLNFileBrowserCell::shownFigureOf(_shownRoot);
    QString title = QString("%1 - %2").arg(
        _rootFileTitle, figure ? HLNFileBrowserCell::figureText(*figure, true) : QString("?"));
    switch (_shownRoot.sizeStatus) {
    case SizeStatus::notStarted:
    case SizeStatus::inProgress:
        title += QString(" (%1)").arg(localized("sizing"));
        break;
    case SizeStatus::goneOrGoing:
        title += QString(" (%1)").arg(localized("deleting"));
        break;
    case SizeStatus::complete:
        break;
    }
    if (_isScan) // two scans of one tree are told apart by their files
        title += QString(" (scan of %1, %2)").arg(_scanDate, lastPathComponent(_scanFile));
    if (!_window->isMinimized())
        _window->setWindowTitle(title);
    else
        _window->setProperty("hollinTitleAfterRestore", title);
}

void HLNFileTreeController::_showStatus() {
    if (_isScan) {
        if (_scanLoad)
            _statusField->setText(
                QString("Reading the scan: %1 items read")
                    .arg(QLocale().toString(qulonglong(_scanLoad->entriesRead()))));
        else
            _statusField->setText(_scanNote);
        return;
    }
    const uint64_t counted = HLNFile::nodesCreated() - _nodesAtSizingStart;
    const qint64 seconds = (QDateTime::currentMSecsSinceEpoch() - _sizingStartedMs) / 1000;
    const QString elapsed =
        QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    const QString items = QLocale().toString(qulonglong(counted));
    switch (_shownRoot.sizeStatus) {
    case SizeStatus::notStarted:
    case SizeStatus::inProgress:
        _statusField->setText(
            QString("Sizing: %1 %2 counted, %3 elapsed")
                .arg(items, counted == 1 ? QString("item") : QString("items"), elapsed) +
            _liveText());
        _sizingFinished = false;
        break;
    case SizeStatus::complete:
        if (!_sizingFinished) // the figures of the moment it finished stay
            _growth->rootSized();
        if (!_sizingFinished)
            _finishedText =
                QString("%1 %2 counted in %3")
                    .arg(items, counted == 1 ? QString("item") : QString("items"), elapsed);
        _statusField->setText(_finishedText + _liveText());
        _sizingFinished = true;
        break;
    case SizeStatus::goneOrGoing:
        _statusField->clear();
        break;
    }
}

void HLNFileTreeController::refreshSelectedFileInformation() {
    const int column = _browser->selectedColumn();
    std::vector<Ref<HLNFile>> files;
    std::vector<HLNFile::Snapshot> figures; // the reading's, as the cells show them
    if (_findPanel->isVisible() && _findPanel->actsOnResults())
        for (Ref<HLNFile>& file : selectedFiles()) {
            figures.push_back(file->snapshot());
            files.push_back(std::move(file));
        }
    else
        for (int row : _browser->selectedRowsInColumn(column)) {
            auto* cell = static_cast<HLNFileBrowserCell*>(_browser->loadedCellAtRow(row, column));
            if (!cell || !cell->file())
                continue;
            HLNFile::Snapshot now;
            if (!shownSnapshot(cell->file().get(), column, row, now))
                now = cell->file()->snapshot();
            files.push_back(cell->file());
            figures.push_back(now);
        }
    _treemap->setSelectedFiles(files);
    if (files.empty()) {
        _fileSizeField->setText(QString());
        _measuresField->setText(QString());
        _descriptionDisplayer->setStringValue(QString());
        _filenameDisplayer->setStringValue(QString());
        _filenameDisplayer->setToolTip(QString());
        _fileWell->setFilenames({});
        return;
    }
    std::vector<std::string> paths;
    paths.reserve(files.size());
    HLNFile::Measures total;
    bool allComplete = true;
    std::vector<HLNWorkspace::Kind> kinds;
    for (size_t i = 0; i < files.size(); ++i) {
        paths.push_back(files[i]->path());
        kinds.push_back(figures[i].isLink        ? HLNWorkspace::Kind::link
                        : figures[i].isDirectory ? HLNWorkspace::Kind::folder
                                                 : HLNWorkspace::Kind::file);
        if (!allComplete)
            continue;
        if (figures[i].sizeStatus == SizeStatus::complete)
            total +=
                figures[i].countedAtAnotherName ? figures[i].countedElsewhere : figures[i].measures;
        else
            allComplete = false;
    }
    if (files.size() == 1) {
        const std::vector<std::string> shown = _fileWell->filenames();
        // The package lookup is only redone when the selection moved.
        if (!(shown.size() == 1 && shown[0] == paths[0])) {
            _filenameDisplayer->setStringValue(
                TFString::displayStringForName(files[0]->nameView()));
            // Squeezed or cut when long: the whole of it, where it is.
            _filenameDisplayer->setToolTip(displayPath(paths[0]));
            // A scan's files belong to another machine's packages, if any.
            _descriptionDisplayer->setStringValue(
                _isScan
                    ? QString()
                    : QString::fromStdString(HLNPackageReceipt::packageNamesForFilename(paths[0])));
        }
    } else {
        _filenameDisplayer->setStringValue(QString("%1 items").arg(files.size()));
        _filenameDisplayer->setToolTip(QString());
        _descriptionDisplayer->setStringValue(QString());
    }
    // Every measure, whichever the window shows: disk usage above, apparent
    // size, items and the newest modification below.
    QString sizeText = allComplete ? bytesText(total.bytes) : QString("sizing");
    QStringList more;
    if (allComplete) {
        const HLNFile::Snapshot& first = figures[0];
        more << (first.knowsApparent ? QString("%1 apparent").arg(bytesText(total.apparent))
                                     : QString("apparent size unknown"));
        more << QString("%1 %2").arg(QLocale().toString(qulonglong(total.items)),
                                     total.items == 1 ? "item" : "items");
        if (!first.knowsModification)
            more << QString("dates unknown");
        else if (total.newest != HLNFile::kNoModification)
            more << QString("newest %1").arg(HLNFileBrowserCell::dateText(total.newest));
        if (_sharedSpace)
            more << _sharedSpaceText(files, figures);
    }
    QString measures = more.join(QString::fromUtf8(" \u00b7 "));
    // A line of its own: the measures fill the width already.
    if (const QString growth = _growth->summaryOf(files); !growth.isEmpty())
        measures += (measures.isEmpty() ? "" : "\n") + growth;
    _measuresField->setText(measures);
    if (files.size() == 1) {
        // A file of several names: its bytes, wherever they are counted.
        const HLNFile::Snapshot& now = figures[0];
        if (now.nameCount > 1 && now.sizeStatus == SizeStatus::complete)
            sizeText += QString(", 1 of %1 names").arg(now.nameCount);
    }
    _fileSizeField->setText(sizeText);
    _fileWell->setFilenames(paths, kinds);
}

// ---------------------------------------------------------------------------
// Commands

void HLNFileTreeController::selectBrowserCell() {
    _findPanel->stopActingOnResults(); // a click in the columns: they are the selection
    for (const Ref<HLNFile>& file : selectedFiles()) {
        const SizeStatus status = file->sizeStatus();
        if (status == SizeStatus::notStarted || status == SizeStatus::inProgress)
            HLNBackgroundFileSizer::sizeFile(file);
    }
    if (_readingStale) // a column opened: read the window again, title and all
        _takeReading();
    else
        refreshSelectedFileInformation();
    updateWhetherButtonsAreEnabled();
}

void HLNFileTreeController::selectFileInBrowser(const Ref<HLNFile>& file) {
    std::vector<Ref<HLNFile>> chain; // from the root's child down to the file
    Ref<HLNFile> n = file;
    for (; n && n != _rootFile; n = n->parent())
        chain.push_back(n);
    if (!n || chain.empty())
        return;
    int column = 0;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it, ++column) {
        // Found by identity in the rows the column shows; a column sorted
        // before the node's size moved is loaded afresh once.
        auto rowOf = [&]() {
            if (const HLNFile::ChildList& list = cachedColumns.objectAtIndex(column))
                for (uint32_t row = 0; row < list->size(); ++row)
                    if ((*list)[row] == *it)
                        return static_cast<int>(row);
            return -1;
        };
        if (column > _browser->lastColumn())
            break;
        int row = rowOf();
        if (row < 0) {
            _browser->reloadColumn(column);
            row = rowOf();
        }
        if (row < 0)
            break;
        _browser->selectRowInColumn(row, column);
        if (auto* list = qobject_cast<QAbstractItemView*>(_browser->viewOfColumn(column)))
            list->scrollTo(list->model()->index(row, 0));
    }
    selectBrowserCell();
}

void HLNFileTreeController::updateSelection() {
    if (_isScan)
        return;
    if (!_browser->selectedCells().empty()) {
        for (const Ref<HLNFile>& file : selectedFiles())
            file->refreshSize();
        _browser->reloadColumn(_browser->selectedColumn() + 1);
    } else {
        _sizingStartedMs = QDateTime::currentMSecsSinceEpoch();
        _nodesAtSizingStart = HLNFile::nodesCreated();
        _sizingFinished = false;
        _growth->recordNextSizing();
        _rootFile->refreshSize();
        _browser->loadColumnZero();
    }
    updateWhetherButtonsAreEnabled();
}

void HLNFileTreeController::revealSelectionInFinder() {
    if (_isScan)
        return;
    std::vector<std::string> paths;
    for (const Ref<HLNFile>& file : selectedFiles())
        if (std::string path = file->path(); !path.empty())
            paths.push_back(std::move(path));
    HLNWorkspace::revealPaths(paths);
    refreshSelectedFileInformation();
    updateWhetherButtonsAreEnabled();
}

void HLNFileTreeController::compressSelection() {
    const std::vector<Ref<HLNFile>> files = selectedFiles();
    if (_isScan || files.empty() || _refuseFilesOverMountedDrives(files, "compress"))
        return;
    std::vector<std::string> paths;
    uint64_t usage = 0;
    for (const Ref<HLNFile>& file : files) {
        paths.push_back(file->path());
        usage += file->sizeSoFar();
    }
    // Once done, the folders that changed are read again, as Update does.
    QPointer<HLNFileTreeController> self(this);
    HLNCompressSheet::ask(_window, this, paths, usage,
                          [self](const std::vector<std::string>& folders) {
                              if (self)
                                  for (const std::string& folder : folders)
                                      if (Ref<HLNFile> node = HLNTrashMover::nodeInTreeForPath(
                                              self->_rootFile, folder, HLNFile::Asker::window))
                                          node->refreshSize();
                          });
}

void HLNFileTreeController::openSelection() {
    if (_isScan)
        return;
    for (const Ref<HLNFile>& file : selectedFiles())
        if (std::string path = file->path(); !path.empty())
            HLNDesktopOpener::openPath(path);
}

QMimeData* HLNFileTreeController::mimeDataForPaths(const std::vector<std::string>& paths) {
    auto* data = new QMimeData;
    QList<QUrl> urls;
    QByteArray text;
    for (const std::string& path : paths) {
        urls.push_back(HLNWorkspace::fileURLForPath(path));
        if (!text.isEmpty())
            text += '\n';
        text += QByteArray::fromStdString(path);
    }
    data->setUrls(urls);
    data->setData("text/plain", text);
    return data;
}

void HLNFileTreeController::copySelectionPath() {
    std::vector<std::string> paths;
    for (const Ref<HLNFile>& file : selectedFiles())
        paths.push_back(file->path());
    if (paths.empty())
        return;
    QGuiApplication::clipboard()->setMimeData(mimeDataForPaths(paths));
}

void HLNFileTreeController::showContextMenu(const QPoint& globalPosition) {
    // A right click selects without the click action: catch up first.
    selectBrowserCell();
    _contextMenu->popup(globalPosition);
}

void HLNFileTreeController::trashSelection() {
    if (_isScan)
        return;
    _destroyFiles(selectedFiles());
}

bool HLNFileTreeController::_refuseFilesOverMountedDrives(const std::vector<Ref<HLNFile>>& files,
                                                          const char* verb) {
    // One fresh read of the mount table judges the whole selection; should
    // it fail, the last table read stands in rather than nothing.
    HLNDrive::DriveList drives = HLNDrive::drives();
    if (!drives)
        drives = HLNDrive::cachedDrives();

    QStringList refusedNames;
    // By the path as shown, and by where it really is: a root opened
    // through a link spells its entries' paths through that link.
    for (const Ref<HLNFile>& file : files)
        if (file->_hasDrivesMountedUnderneathFromDriveArray(drives) ||
            (file->isDirectory() &&
             HLNDrive::isDriveMountedBeneathRealLocation(drives, file->path())))
            refusedNames << TFString::displayStringForName(file->nameView());

    if (!refusedNames.isEmpty()) {
        const QString title = QString("It's impossible to %1 %2 of these files, as other disks "
                                      "are mounted under them.")
                                  .arg(verb)
                                  .arg(refusedNames.size());
        const QString message =
            QString(std::strcmp(verb, "delete") == 0
                        ? "Deleting \"%1\" would wipe out some associated disks . "
                          "You'd hate that. If you really think it's "
                          "safe to delete this, then unmount the disks and try "
                          "again, but, honestly, this is almost never a "
                          "good idea."
                        : "Compressing \"%1\" would reach into the disks mounted under it. "
                          "Compress what is on each disk from its own window instead.")
                .arg(refusedNames.join(", "));
        QMessageBox box(QMessageBox::Warning, "Hollin", title, QMessageBox::NoButton, _window);
        box.setInformativeText(message);
        QPushButton* cancel = box.addButton("Cancel", QMessageBox::RejectRole);
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        const HLNRefreshRequests::Hold refreshesWait; // nothing re-sorted under the question
        box.exec();
        return true;
    }
    return false;
}

void HLNFileTreeController::_destroyFiles(const std::vector<Ref<HLNFile>>& files) {
    if (_refuseFilesOverMountedDrives(files))
        return;
    QMessageBox box(QMessageBox::Warning, "Hollin", "Destroy the selected files?",
                    QMessageBox::NoButton, _window);
    box.setInformativeText("You aren't getting them back, so make sure you really want them gone.");
    QPushButton* destroy = box.addButton("Destroy", QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton("Cancel", QMessageBox::RejectRole);
    // Return, pressed out of habit, must not destroy anything.
    box.setDefaultButton(cancel);
    destroy->setAutoDefault(false);
    box.setEscapeButton(cancel);
    _addDestroyList(box, files);
    const HLNRefreshRequests::Hold refreshesWait; // nothing re-sorted under the question
    cancel->setFocus();
    box.exec();
    if (box.clickedButton() != destroy)
        return;
    for (const Ref<HLNFile>& file : files)
        file->trash();
}

QString HLNFileTreeController::destroyListText(const std::vector<Ref<HLNFile>>& files) {
    constexpr size_t shown = 10;
    QStringList lines;
    uint64_t total = 0;
    bool allComplete = true;
    for (const Ref<HLNFile>& file : files) {
        if (lines.size() < int(shown))
            lines
                << QString("\u201c%1\u201d").arg(TFString::displayStringForName(file->nameView()));
        const HLNFile::Snapshot now = file->snapshot();
        total += now.sizeSoFar;
        allComplete = allComplete && now.sizeStatus == SizeStatus::complete;
    }
    if (files.size() > shown)
        lines << QString("and %1 more").arg(files.size() - shown);
    const QString count =
        files.size() == 1 ? QString("1 item") : QString("%1 items").arg(files.size());
    lines << QString("%1, %2%3")
                 .arg(count, allComplete ? QString() : QString("at least "), bytesText(total));
    return lines.join("\n");
}

void HLNFileTreeController::_addDestroyList(QMessageBox& box,
                                            const std::vector<Ref<HLNFile>>& files) {
    // Beneath the question, what it is about: the names, how many, how much.
    auto* list = new QLabel(destroyListText(files), &box);
    list->setObjectName("destroyList");
    list->setTextFormat(Qt::PlainText);
    list->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Room for the message on two lines rather than a narrow column of them.
    list->setMinimumWidth(std::max(list->sizeHint().width(), 380));
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    QWidget* message = box.findChild<QLabel*>("qt_msgbox_informativelabel");
    QWidget* buttons = box.findChild<QWidget*>("qt_msgbox_buttonbox");
    if (!grid || !message || !buttons) {
        box.setDetailedText(list->text()); // a layout of another Qt: the details then
        delete list;
        return;
    }
    int row, column, rows, columns, buttonsRow, buttonsColumn, buttonsRows, buttonsColumns;
    grid->getItemPosition(grid->indexOf(message), &row, &column, &rows, &columns);
    grid->getItemPosition(grid->indexOf(buttons), &buttonsRow, &buttonsColumn, &buttonsRows,
                          &buttonsColumns);
    grid->removeWidget(buttons);
    grid->addWidget(list, buttonsRow, column, 1, columns);
    grid->addWidget(buttons, buttonsRow + 1, buttonsColumn, buttonsRows, buttonsColumns);
}

void HLNFileTreeController::moveSelectionToTrash() {
    const std::vector<Ref<HLNFile>> files = selectedFiles();
    if (_isScan || files.empty() || _refuseFilesOverMountedDrives(files))
        return;
    // One alert for the whole selection, once every entry has been tried;
    // it offers Destroy while this window is still open.
    QPointer<HLNFileTreeController> self(this);
    HLNTrashMover::moveToTrash(files, [self](std::vector<HLNTrashMover::Failure> notMoved,
                                             std::vector<HLNTrashMover::Moved> moved) {
        if (self && !moved.empty())
            self->_showMovedToTrash(std::move(moved));
        if (notMoved.empty())
            return;
        QStringList lines;
        std::vector<Ref<HLNFile>> left;
        constexpr int shown = 10;
        for (const HLNTrashMover::Failure& f : notMoved) {
            left.push_back(f.file);
            if (lines.size() < shown)
                lines << QString("\"%1\": %2")
                             .arg(TFString::displayStringForName(f.file->nameView()),
                                  QString::fromStdString(f.reason));
        }
        if (notMoved.size() > size_t(shown))
            lines << QString("and %1 more").arg(notMoved.size() - shown);
        QMessageBox box(
            QMessageBox::Warning, "Hollin",
            QString("%1 of these files can't be moved to the Trash.").arg(notMoved.size()),
            QMessageBox::NoButton, self ? self->_window : nullptr);
        const bool one = notMoved.size() == 1;
        box.setInformativeText(
            lines.join("\n") +
            (one ? "\n\nIt was left where it is. You can destroy it instead, for good."
                 : "\n\nThey were left where they are. You can destroy them "
                   "instead, for good."));
        QPushButton* destroy =
            self ? box.addButton("Destroy", QMessageBox::DestructiveRole) : nullptr;
        QPushButton* cancel = box.addButton(self ? "Cancel" : "OK", QMessageBox::RejectRole);
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        const HLNRefreshRequests::Hold refreshesWait; // nothing re-sorted under the question
        box.exec();
        if (destroy && box.clickedButton() == destroy && self)
            self->_destroyFiles(left);
    });
}

void HLNFileTreeController::_showMovedToTrash(std::vector<HLNTrashMover::Moved> moved) {
    // What went where, in the window, with a way back for a while.
    const QString where =
        moved.front().trashFolder.empty()
            ? QString("the Trash")
            : QString("the Trash (%1)").arg(displayPath(moved.front().trashFolder));
    const QString what = moved.size() == 1
                             ? QString("\u201c%1\u201d").arg(lastPathComponent(moved.front().path))
                             : QString("%1 items").arg(moved.size());
    _trashNote->setText(QString("Moved %1 to %2.").arg(what, where));
    _trashNote->setToolTip(QString());
    _movedToTrash = std::move(moved);
    const bool undoable = std::any_of(_movedToTrash.begin(), _movedToTrash.end(),
                                      [](const auto& m) { return !m.trashedName.empty(); });
    _undoButton->setVisible(undoable);
    _undoButton->setEnabled(undoable);
    _trashNote->show();
    _trashNoteTimer->start(kUndoSeconds * 1000);
}

void HLNFileTreeController::undoMoveToTrash() {
    _trashNoteTimer->stop();
    _undoButton->hide();
    _undoButton->setEnabled(false);
    std::vector<HLNTrashMover::Moved> moved = std::move(_movedToTrash);
    _movedToTrash.clear();
    QStringList failures;
    int restored = 0;
    std::vector<std::string> reread;
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
        if (it->trashedName.empty()) {
            failures << QString("\u201c%1\u201d: the trash did not say where it put it")
                            .arg(lastPathComponent(it->path));
            continue;
        }
        const TFTrash::Restoration r = TFTrash::restoreFromTrash(it->trashFolder, it->trashedName);
        if (!r.restored) {
            failures << QString("\u201c%1\u201d: %2")
                            .arg(lastPathComponent(it->path), QString::fromStdString(r.reason));
            continue;
        }
        ++restored;
        const size_t slash = r.restoredPath.find_last_of('/');
        reread.push_back(slash == 0 ? std::string("/") : r.restoredPath.substr(0, slash));
        reread.push_back(it->trashFolder); // counted in this tree when it lies in it
    }
    // The folders they went back to are read again (and a trash in the tree).
    for (const std::string& folder : reread)
        if (Ref<HLNFile> node =
                HLNTrashMover::nodeInTreeForPath(_rootFile, folder, HLNFile::Asker::window))
            node->refreshSize();
    _trashNote->setText(
        failures.isEmpty()
            ? QString("Put %1 back from the Trash.")
                  .arg(restored == 1 ? QString("it") : QString("them"))
            : QString("%1 of %2 could not be put back.").arg(failures.size()).arg(moved.size()));
    _trashNote->setToolTip(failures.join("\n"));
    _trashNoteTimer->start(kUndoSeconds * 1000);
}

bool HLNFileTreeController::validateUserInterfaceItem(const HLNWindowCommand& command) const {
    if (_isScan && command.needsFiles)
        return false;
    return !command.enabled || command.enabled();
}

QAction* HLNFileTreeController::actionFor(const QString& name) const {
    for (const HLNWindowCommand& command : _commands)
        if (command.name == name)
            return command.action;
    return nullptr;
}

QPushButton* HLNFileTreeController::buttonFor(const QString& name) const {
    for (const HLNWindowCommand& command : _commands)
        if (command.name == name)
            return command.pushButton;
    return nullptr;
}

void HLNFileTreeController::updateWhetherButtonsAreEnabled() {
    for (const HLNWindowCommand& command : _commands)
        command.setEnabled(validateUserInterfaceItem(command));
}

// ---------------------------------------------------------------------------
// Window

QString HLNFileTreeController::displayPath(const std::string& path) {
    return TFString::displayStringForName(path);
}

QString HLNFileTreeController::frameKeyForPath(const std::string& path) {
    return "FileTreeWindowFrame/" +
           QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding());
}

QString HLNFileTreeController::splitterKeyForPath(const std::string& path) {
    return "FileTreeWindowSplitter/" +
           QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding());
}

QString HLNFileTreeController::treemapShownKeyForPath(const std::string& path) {
    return "FileTreeWindowTreemap/" +
           QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding());
}

void HLNFileTreeController::_saveFrame() {
    TFPreference::setString(frameKeyForPath(_rootPath).toStdString(),
                            _window->saveGeometry().toBase64().toStdString());
    const QList<int> sizes = treemapAction()->isChecked() ? _splitter->sizes() : _splitterSizes;
    if (sizes.size() == 2)
        TFPreference::setString(splitterKeyForPath(_rootPath).toStdString(),
                                std::to_string(sizes[0]) + "," + std::to_string(sizes[1]));
    TFPreference::setBool(treemapShownKeyForPath(_rootPath).toStdString(),
                          treemapAction()->isChecked());
}

bool HLNFileTreeController::eventFilter(QObject* watched, QEvent* event) {
    if (watched != _window)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Close:
        if (!_closing) {
            _closing = true;
            _follower.reset(); // its marks or watches go with the window
            _sharedSpace.reset();
            _saveFrame();
            _browser->setDelegate(nullptr);
            TFNotificationCenter::defaultCenter().removeObserver(this);
            deleteLater(); // the controller and its window go at the end of this event
        }
        event->accept();
        return false;
    case QEvent::UpdateRequest:
        // Columns loaded since the last reading (a click, the map) are
        // read, with the title and the summary, before anything is drawn.
        if (_readingStale && !_rebuilding && !_closing)
            _takeReading();
        return false;
    case QEvent::Move:
    case QEvent::Resize:
        // Saved as it changes: Quit (from the menu or the bus) closes no window.
        if (_window->isVisible() && !_closing)
            _saveFrame();
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
