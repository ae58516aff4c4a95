#include "app/HLNController.h"

#include "app/HLNAboutBox.h"
#include "app/HLNServicesProvider.h"
#include "app/HLNShortcutsBox.h"
#include "browser/HLNFileTreeController.h"
#include "browser/HLNWindowGrowth.h"
#include "browser/HLNWorkspace.h"
#include "drives/gui/HLNDriveAccountController.h"
#include "drives/gui/HLNDriveListController.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNRefreshRequests.h"
#include "scans/HLNScanReader.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFProcess.h"
#include "toolkit/TFString.h"
#include "toolkit/gui/TSUMessageOfTheDay.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>

namespace {
HLNController* sharedInstance = nullptr;

std::string resolvingSymlinks(const std::string& path) {
    return TFDirectory::resolvedPathFollowingLinks(path).value_or(path);
}
} // namespace

HLNController::HLNController() {
    sharedInstance = this;
    if (auto* app = TAController::sharedApplication())
        app->setDelegate(this);

    auto* app = qApp;
    _openDriveListItem = new QAction(tr("Drive List"), this);
    _openDriveListItem->setObjectName("openDriveList");
    _openDriveListItem->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
    connect(_openDriveListItem, &QAction::triggered, this, [this] { openDriveList(); });

    _openItem = new QAction(tr("Open Folder..."), this);
    _openItem->setObjectName("open");
    _openItem->setShortcut(QKeySequence::Open);
    connect(_openItem, &QAction::triggered, this, [this] { open(); });

    _openScanItem = new QAction(tr("Open Scan…"), this);
    _openScanItem->setObjectName("openScan");
    connect(_openScanItem, &QAction::triggered, this, [this] { openScan(); });

    _openHomeItem = new QAction(tr("Open Home Folder"), this);
    _openHomeItem->setObjectName("openHome");
    _openHomeItem->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H));
    connect(_openHomeItem, &QAction::triggered, this, [this] { openHome(); });

    _quitItem = new QAction(tr("Quit"), this);
    _quitItem->setObjectName("quit");
    _quitItem->setShortcut(QKeySequence::Quit);
    _quitItem->setMenuRole(QAction::QuitRole);
    connect(_quitItem, &QAction::triggered, this, [this] { applicationShouldTerminate(); });

    // Each window records its tree once sized, unless this is off.
    _keepHistoryItem = new QAction(tr("Keep Scan History"), this);
    _keepHistoryItem->setObjectName("keepScanHistory");
    _keepHistoryItem->setCheckable(true);
    _keepHistoryItem->setChecked(HLNWindowGrowth::keepsHistory());
    connect(_keepHistoryItem, &QAction::toggled, this,
            [](bool on) { HLNWindowGrowth::setKeepsHistory(on); });

    _aboutItem = new QAction(tr("About Hollin"), this);
    _aboutItem->setObjectName("about");
    _aboutItem->setMenuRole(QAction::AboutRole);
    connect(_aboutItem, &QAction::triggered, this,
            [] { HLNAboutBox::show(QApplication::activeWindow()); });

    _shortcutsItem = new QAction(tr("Keyboard Shortcuts"), this);
    _shortcutsItem->setObjectName("keyboardShortcuts");
    _shortcutsItem->setShortcut(QKeySequence::HelpContents);
    connect(_shortcutsItem, &QAction::triggered, this,
            [] { HLNShortcutsBox::show(QApplication::activeWindow()); });

    // Every main window gets the application's menu as it is shown, and
    // closing the last window asks for termination like Quit does.
    if (app) {
        app->installEventFilter(this);
        if (auto* gui = qobject_cast<QGuiApplication*>(app)) {
            gui->setQuitOnLastWindowClosed(false);
            connect(gui, &QGuiApplication::lastWindowClosed, this,
                    [this] { applicationShouldTerminate(); });
        }
    }
    TFController::sharedController().setTerminationCompletion([] {
        HLNWindowGrowth::waitForRecords();
        QCoreApplication::quit();
    });
    _connectDriveAccounts();
}

void HLNController::_connectDriveAccounts() {
    // The account window and the browser windows sit on one floor and
    // reach each other through these.
    HLNDriveAccountController::setCountedSource(
        [](const std::string& mountPoint) -> std::optional<uint64_t> {
            for (HLNFileTreeController* window : HLNFileTreeController::openControllers())
                if (!window->isScan() && window->rootPath() == mountPoint && window->rootFile() &&
                    window->rootFile()->sizeStatus() == SizeStatus::complete)
                    return window->rootFile()->sizeSoFar();
            return std::nullopt;
        });
    HLNDriveAccountController::setRevealer(
        [](const std::string& path) { HLNWorkspace::selectFile(path); });
    HLNFileTreeController::setDriveAccountOpener(
        [](const std::string& mountPoint) { HLNDriveAccountController::openForMount(mountPoint); });
}

HLNController::~HLNController() {
    if (qApp)
        qApp->removeEventFilter(this);
    if (auto* app = TAController::sharedApplication(); app && app->delegate() == this)
        app->setDelegate(nullptr);
    if (sharedInstance == this)
        sharedInstance = nullptr;
}

HLNController* HLNController::sharedController() {
    return sharedInstance;
}

void HLNController::launch(const std::vector<std::string>& paths) {
    applicationWillFinishLaunching();
    if (paths.empty()) {
        applicationOpenUntitledFile();
    } else {
        for (const auto& path : paths)
            _openPath(path);
    }
    applicationDidFinishLaunching();
}

void HLNController::applicationWillFinishLaunching() {
    TFController::sharedController().didInitialize();
}

bool HLNController::applicationOpenUntitledFile() {
    openDriveList();
    return true;
}

void HLNController::applicationDidFinishLaunching() {
    HLNServicesProvider::shared(this).registerOnSessionBus();
    TSUMessageOfTheDay::sharedMessageOfTheDay().checkMessageOfTheDay();
    TFController::sharedController().startedRunning();
    HLNBackgroundFileSizer::startBackgroundThread();
    _launched = true;
    for (QWidget* window : QApplication::topLevelWidgets())
        _setDestroyKeyEquivalent(window);
}

std::vector<std::string> HLNController::openPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> refused;
    for (const std::string& path : paths)
        if (!_openPath(path))
            refused.push_back(path);
    return refused;
}

void HLNController::openDriveList() {
    HLNDriveListController* list = HLNDriveListController::sharedInstance();
    // The drive list cannot reach the browser floor; it opens windows the
    // way this controller does. The list outlives any one controller.
    list->setPathOpener([self = QPointer<HLNController>(this)](const std::string& path) {
        if (self)
            self->_openPath(path);
    });
    list->showWindow();
}

void HLNController::open() {
    std::optional<QStringList> chosen;
    if (_openPanel) {
        chosen = _openPanel();
    } else {
        QFileDialog panel;
        panel.setFileMode(QFileDialog::Directory);
        panel.setOption(QFileDialog::ShowDirsOnly, true);
        // The built-in dialog, since only it lets several folders be chosen.
        panel.setOption(QFileDialog::DontUseNativeDialog, true);
        for (auto* view : panel.findChildren<QAbstractItemView*>())
            if (qobject_cast<QListView*>(view) || qobject_cast<QTreeView*>(view))
                view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        const HLNRefreshRequests::Hold refreshesWait;
        if (panel.exec() == QDialog::Accepted)
            chosen = panel.selectedFiles();
    }
    if (!chosen)
        return;
    for (const QString& path : *chosen)
        _openPath(resolvingSymlinks(TFString::nameForString(path)));
}

void HLNController::openScan() {
    std::optional<QStringList> chosen;
    if (_openScanPanel) {
        chosen = _openScanPanel();
    } else {
        const HLNRefreshRequests::Hold refreshesWait;
        const QString file = QFileDialog::getOpenFileName(
            nullptr, tr("Open Scan"), QString(), tr("Scans (*.json *.ncdu *.scan);;All files (*)"),
            nullptr, QFileDialog::DontUseNativeDialog);
        if (!file.isEmpty())
            chosen = QStringList{file};
    }
    if (!chosen)
        return;
    // Whatever its content: a file that is not a scan is told so.
    for (const QString& file : *chosen)
        HLNFileTreeController::initWithScan(TFString::nameForString(file));
}

std::optional<std::string> HLNController::_homeDirectory() const {
    if (_home)
        return _home();
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home);
    return TFProcess::homeFolderOfUser();
}

void HLNController::openHome() {
    std::optional<std::string> home = _homeDirectory();
    if (!home)
        return;
    if (TFDirectory::examinePathFollowingLinks(*home).error)
        return;
    _openPath(*home);
}

TFController::TerminateReply HLNController::applicationShouldTerminate() {
    if (QWidget* focus = QApplication::focusWidget())
        focus->clearFocus();
    TFController& toolkit = TFController::sharedController();
    switch (toolkit.requestTermination()) {
    case TFController::TerminateCancel:
        return TFController::TerminateCancel;
    case TFController::TerminateLater:
        return TFController::TerminateLater;
    case TFController::TerminateNow:
        break;
    }
    toolkit.willTerminate();
    HLNWindowGrowth::waitForRecords(); // the last windows' records are written first
    QCoreApplication::quit();
    return TFController::TerminateNow;
}

bool HLNController::validateUserInterfaceItem(const QAction* item) const {
    if (item == _openHomeItem)
        return _homeDirectory().has_value();
    return true;
}

void HLNController::handleRunException(const std::string& reason) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    QString message = QString::fromStdString(TFString::stringWithDataUTF8(reason));
    if (_alert) {
        _alert(message);
        return;
    }
    // One report at a time: a failure while one is open (a refresh failing
    // again inside its modal loop) is only logged, never stacked on it.
    static bool showing = false;
    if (showing)
        return;
    showing = true;
    QMessageBox box(QMessageBox::NoIcon, QString(), message, QMessageBox::Ok);
    box.setObjectName("exceptionReport");
    const HLNRefreshRequests::Hold refreshesWait;
    box.exec();
    showing = false;
}

bool HLNController::serviceSizeFilesOnPasteboard(const QVariantMap& pasteboard, const QString&,
                                                 QString* error) {
    auto fail = [&] {
        if (error)
            *error = tr("Error: couldn't size file.");
        return false;
    };
    auto it = pasteboard.find(kFilenamesPboardType);
    if (it == pasteboard.end() || !it->isValid() || it->isNull())
        return fail();
    QString typeName;
    std::optional<std::vector<std::string>> paths =
        HLNServicesProvider::filenamesFromValue(*it, &typeName);
    if (!paths) {
        std::fprintf(stderr, "Pasteboard couldn't give array or string; gave %s.\n",
                     typeName.toUtf8().constData());
        return fail();
    }
    for (const auto& path : *paths)
        _openPath(path);
    return true;
}

bool HLNController::_openPath(const std::string& path) {
    if (_opener) {
        _opener(path);
        return true;
    }
    // A scan file is recognised by its content, whatever its name.
    if (HLNScanReader::looksLikeScan(path))
        return HLNFileTreeController::initWithScan(path) != nullptr;
    return HLNFileTreeController::initWithPath(path) != nullptr;
}

QKeySequence HLNController::destroyKeyEquivalent() {
    return QKeySequence(Qt::CTRL | Qt::Key_Backspace);
}

void HLNController::_setDestroyKeyEquivalent(QWidget* window) {
    if (!_launched || !window)
        return;
    for (QAction* action : window->findChildren<QAction*>("trashSelection"))
        action->setShortcut(destroyKeyEquivalent());
}

void HLNController::installMainMenu(QMainWindow* window) {
    QMenuBar* menuBar = window->menuBar();
    if (!menuBar->property("hollinMainMenu").toBool()) {
        menuBar->setProperty("hollinMainMenu", true);
        auto* menu = new QMenu(tr("&Hollin"), menuBar);
        menu->addAction(_openDriveListItem);
        menu->addAction(_openItem);
        menu->addAction(_openScanItem);
        menu->addAction(_openHomeItem);
        menu->addSeparator();
        menu->addAction(_keepHistoryItem);
        menu->addSeparator();
        menu->addAction(_quitItem);
        connect(menu, &QMenu::aboutToShow, this,
                [this] { _openHomeItem->setEnabled(validateUserInterfaceItem(_openHomeItem)); });
        QAction* first = menuBar->actions().isEmpty() ? nullptr : menuBar->actions().first();
        menuBar->insertMenu(first, menu);
        QMenu* help = menuBar->addMenu(tr("&Help"));
        help->addAction(_shortcutsItem);
        help->addAction(_aboutItem);
    }
    _setDestroyKeyEquivalent(window);
}

bool HLNController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show) {
        if (auto* window = qobject_cast<QMainWindow*>(watched); window && window->isWindow()) {
            installMainMenu(window);
            _openHomeItem->setEnabled(validateUserInterfaceItem(_openHomeItem));
        }
    }
    return QObject::eventFilter(watched, event);
}
