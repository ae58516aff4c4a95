#pragma once

#include "toolkit/TFController.h"
#include "toolkit/gui/TAController.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QMainWindow;
class QWidget;
#include <QKeySequence>

// The application's delegate: launch, the open commands, the hand-over of
// files from other programs, the last-resort exception report and
// termination. One instance, made by main, living as long as the program.
// Main thread only.
class HLNController : public QObject, public TAControllerDelegate {
    Q_OBJECT
public:
    HLNController();
    ~HLNController() override;
    static HLNController* sharedController(); // the one made last, or null

    // Launch: applicationWillFinishLaunching, then either the drive list
    // (nothing to open) or a browser window per path, then
    // applicationDidFinishLaunching.
    void launch(const std::vector<std::string>& paths);
    void applicationWillFinishLaunching();
    bool applicationOpenUntitledFile();
    void applicationDidFinishLaunching();

    // A browser window per path, in order (paths handed over by the desktop).
    // Answers the paths that opened no window (a damaged scan, a path that
    // cannot be read), each already said to the user.
    std::vector<std::string> openPaths(const std::vector<std::string>& paths);

    // Menu commands.
    void openDriveList();
    void open();
    // Open Scan…: a browser window on a scan file chosen in a file dialog.
    void openScan();
    void openHome();
    // Quit: asks the toolkit; answers what it decided.
    TFController::TerminateReply applicationShouldTerminate();
    bool validateUserInterfaceItem(const QAction* item) const;

    void handleRunException(const std::string& reason) override;

    // The hand-over from other programs. The pasteboard maps a type name to
    // its contents; file names come under kFilenamesPboardType as a list of
    // paths or a single path. Answers false with *error set to
    // "Error: couldn't size file." when it carries neither.
    bool serviceSizeFilesOnPasteboard(const QVariantMap& pasteboard, const QString& userData,
                                      QString* error);
    static constexpr const char* kFilenamesPboardType = "filenames";

    // Each browser window carries its Destroy item as an action named
    // "trashSelection"; from the end of launching, every such item shown
    // gets this shortcut, whatever the window gave it.
    static QKeySequence destroyKeyEquivalent();
    // Adds the application's menu to a window's menu bar and, after launch,
    // gives its Destroy item the shortcut (done for every main window as it
    // is shown).
    void installMainMenu(QMainWindow* window);

    // Seams for tests and for the command line. Each null restores the
    // real behaviour.
    using PathOpener = std::function<void(const std::string& path)>;
    void setPathOpener(PathOpener opener) { _opener = std::move(opener); }
    // Runs the folder chooser; nullopt when cancelled.
    using OpenPanelRunner = std::function<std::optional<QStringList>()>;
    void setOpenPanelRunner(OpenPanelRunner runner) { _openPanel = std::move(runner); }
    // Runs the scan file chooser; nullopt when cancelled.
    void setOpenScanPanelRunner(OpenPanelRunner runner) { _openScanPanel = std::move(runner); }
    // The home folder, or nullopt when there is none.
    using HomeDirectoryProvider = std::function<std::optional<std::string>()>;
    void setHomeDirectoryProvider(HomeDirectoryProvider provider) { _home = std::move(provider); }
    // Shows the exception report; the real one is a modal message box.
    using AlertPresenter = std::function<void(const QString& message)>;
    void setAlertPresenter(AlertPresenter presenter) { _alert = std::move(presenter); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // False when the path opened no window.
    bool _openPath(const std::string& path);
    std::optional<std::string> _homeDirectory() const;
    void _setDestroyKeyEquivalent(QWidget* window);
    // Installs what the drive account window asks of the browser windows.
    static void _connectDriveAccounts();

    PathOpener _opener;
    OpenPanelRunner _openPanel;
    OpenPanelRunner _openScanPanel;
    HomeDirectoryProvider _home;
    AlertPresenter _alert;

    QAction* _openDriveListItem = nullptr;
    QAction* _openItem = nullptr;
    QAction* _openScanItem = nullptr;
    QAction* _openHomeItem = nullptr;
    QAction* _quitItem = nullptr;
    QAction* _keepHistoryItem = nullptr; // Keep Scan History
    QAction* _aboutItem = nullptr;
    QAction* _shortcutsItem = nullptr;
    bool _launched = false;
};
