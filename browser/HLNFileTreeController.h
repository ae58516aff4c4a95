#pragma once

#include "browser/HLNColumnBrowser.h"
#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNWindowCommand.h"
#include "model/HLNFile.h"
#include "model/HLNTrashMover.h"
#include "toolkit/TFSparseArray.h"

#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class HLNChangeFollower;
class HLNSharedSpace;
class HLNFindPanel;
class HLNFileWell;
class HLNShrinkingTextDisplayer;
class HLNTreemapView;
class HLNWindowGrowth;
class QAction;
class QLabel;
class QMainWindow;
class QMessageBox;
class QMenu;
class QMimeData;
class QPushButton;
class QSplitter;
class QTimer;

// Runs one file browser window over the tree under a path: the column
// browser (each column lists the children of the row selected to its left,
// largest first), the summary of the selection and the commands Update,
// Reveal, Compress, Move to Trash and Destroy.
//
// Ownership: created by initWithPath with nobody else keeping it; it lives
// exactly as long as its window and deletes itself once the window closes,
// releasing its tree in the background. Main thread only.
class HLNScanLoad;

class HLNFileTreeController : public QObject,
                              private HLNColumnBrowserDelegate,
                              private HLNFileBrowserCell::Reading {
    Q_OBJECT
public:
    // Opens a window on the tree under the path and starts sizing it.
    // Null when the path cannot be examined: the user is told why, in a
    // message that names the path, and nothing else happens.
    static HLNFileTreeController* initWithPath(const std::string& path);
    // Opens a window on the tree a scan file holds (read whole first, with
    // no disk access afterwards): the commands that need the files are
    // disabled, since they are not here. Null, with the user told why,
    // when the file is not a scan that can be read.
    static HLNFileTreeController* initWithScan(const std::string& scanPath);
    bool isScan() const { return _isScan; }
    // The root a given path opens: absolute, without "." or empty
    // components; resolved whole when it holds "..". Links otherwise stay.
    static std::string rootPathForPath(const std::string& given);

    // Every controller whose window is open, oldest first.
    static const std::vector<HLNFileTreeController*>& openControllers();
    // What opens the account of the drive mounted at a path (the window is
    // on another floor): the application installs it. A window whose root
    // is a mount point offers "Account for Drive…" when there is one.
    using DriveAccountOpener = std::function<void(const std::string& mountPoint)>;
    static void setDriveAccountOpener(DriveAccountOpener opener);
    // The menu item; null when the root is no mount point, or a scan.
    QAction* accountAction() const { return actionFor("accountForDrive"); }

    // Refresh requests, for any thread (forwarded to HLNRefreshRequests).
    static void updateUI();
    static void updateUIIfNeeded();
    static void mainThreadUpdateUI();

    // The commands (menu items, buttons, the browser's click actions).
    void updateSelection();
    void trashSelection();
    // Moves the selection to the trash, without confirmation (it can be
    // undone); what cannot be moved is named in one alert that offers Destroy.
    void moveSelectionToTrash();
    // Puts back what the last Move to Trash of this window moved, while its
    // note shows, by the trash's own record of where each came from.
    void undoMoveToTrash();
    QLabel* trashNote() const { return _trashNote; }
    QPushButton* undoButton() const { return _undoButton; }
    static constexpr int kUndoSeconds = 30;
    void revealSelectionInFinder();
    void compressSelection();
    // Opens each selected entry with its default application.
    void openSelection();
    // Puts the selected paths on the clipboard, as text and as file URLs.
    void copySelectionPath();
    void selectBrowserCell();
    // The rows' context menu, at a global position; it acts on the selection
    // the click left, with the window's enabling rules.
    void showContextMenu(const QPoint& globalPosition);
    QMenu* contextMenu() const { return _contextMenu; }
    // The window's commands, one row each (see _commandTable): its menus,
    // the rows' menu and the buttons are made from them.
    const std::vector<HLNWindowCommand>& commands() const { return _commands; }
    // The enabling rule of a command's item and button, as things stand.
    bool validateUserInterfaceItem(const HLNWindowCommand& command) const;
    // Enables every command's item and button by that rule.
    void updateWhetherButtonsAreEnabled();
    // A command's item (its object name) and its button; null when the
    // window has none.
    QAction* actionFor(const QString& name) const;
    QPushButton* buttonFor(const QString& name) const;

    // The node of every selected cell, in the browser's order.
    std::vector<Ref<HLNFile>> selectedFiles();
    // Selects a node of the tree in the columns, opening them down to it, as
    // a click on it would (the map's click).
    void selectFileInBrowser(const Ref<HLNFile>& file);

    QMainWindow* window() const { return _window; }
    HLNColumnBrowser* browser() const { return _browser; }
    HLNFileWell* fileWell() const { return _fileWell; }
    QLabel* fileSizeField() const { return _fileSizeField; }
    // Beneath it, the selection's other measures: apparent size, items and
    // the newest modification, whichever the window shows.
    QLabel* measuresField() const { return _measuresField; }
    HLNShrinkingTextDisplayer* descriptionDisplayer() const { return _descriptionDisplayer; }
    HLNShrinkingTextDisplayer* filenameDisplayer() const { return _filenameDisplayer; }
    QPushButton* deleteButton() const { return buttonFor("trashSelection"); }
    QPushButton* moveToTrashButton() const { return buttonFor("moveSelectionToTrash"); }
    QPushButton* compressButton() const { return buttonFor("compressSelection"); }
    QPushButton* revealButton() const { return buttonFor("revealSelection"); }
    QPushButton* updateButton() const { return buttonFor("updateSelection"); }
    HLNTreemapView* treemap() const { return _treemap; }
    QSplitter* splitter() const { return _splitter; }
    QAction* treemapAction() const { return actionFor("treemap"); }
    QAction* zoomOutAction() const { return actionFor("zoomOut"); }
    // Selection > Find… (Ctrl+F): shows the Find bar and its list.
    QAction* findAction() const { return actionFor("find"); }
    HLNFindPanel* findPanel() const { return _findPanel; }
    // View > Follow Changes: on, a sized tree follows the changes on disk.
    QAction* followAction() const { return actionFor("followChanges"); }
    // View > Show's choices (Disk Usage, Apparent Size, Items), Count Each
    // Hard Link and Show Modification Dates: for every window, remembered.
    QAction* figureAction(HLNFile::Figure figure) const {
        return actionFor(kFigureNames[int(figure)]);
    }
    QAction* eachLinkAction() const { return actionFor("countEachHardLink"); }
    QAction* datesAction() const { return actionFor("showModificationDates"); }
    // View > Show Shared Space, for this window alone: cells show exclusive
    // bytes and the summary what is shared; the figures while it is on.
    QAction* sharedSpaceAction() const { return actionFor("showSharedSpace"); }
    HLNSharedSpace* sharedSpace() const { return _sharedSpace.get(); }
    // The remembered choices, in force before the first window sizes anything.
    static void applyViewChoices();
    static constexpr const char* kFigureNames[] = {"diskUsage", "apparentSize", "items"};
    // What follows the tree now (null: a scan, sizing, or turned off).
    HLNChangeFollower* follower() const { return _follower.get(); }
    const Ref<HLNFile>& rootFile() const { return _rootFile; }
    // The scan history's part: records, and the comparison shown.
    HLNWindowGrowth* growth() const { return _growth.get(); }
    const QString& rootFileTitle() const { return _rootFileTitle; }
    const std::string& rootPath() const { return _rootPath; }

    // One refresh of this window (normally run by the refresh notification).
    void _refreshDisplay();
    // The root's figures as the window shows them now (the title's).
    const HLNFile::Snapshot& shownRoot() const { return _shownRoot; }
    // The status line: what sizing has counted so far and for how long.
    QLabel* statusField() const { return _statusField; }

    // The text shown for a byte path: valid UTF-8 decoded, other bytes as \xNN.
    static QString displayPath(const std::string& path);
    // The key the window frame of a root path is saved under.
    static QString frameKeyForPath(const std::string& path);
    // The keys the map's splitter position and its shown state are saved under.
    static QString splitterKeyForPath(const std::string& path);
    static QString treemapShownKeyForPath(const std::string& path);
    // What Copy Path puts on the clipboard: the paths' bytes, one a line, as
    // text, and their file:// URLs as text/uri-list.
    static QMimeData* mimeDataForPaths(const std::vector<std::string>& paths);
    // What Destroy's confirmation lists beneath its question: the first ten
    // names, "and N more", then how many and how many bytes in all.
    static QString destroyListText(const std::vector<Ref<HLNFile>>& files);

    ~HLNFileTreeController() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    HLNFileTreeController(Ref<HLNFile> root, const std::string& path, bool isScan = false,
                          const QString& scanDate = QString(),
                          const std::string& scanFile = std::string());

    void _buildWindow();
    // The table of the window's commands, in the order of their menus.
    std::vector<HLNWindowCommand> _commandTable();
    bool _rootIsMountPoint() const;
    Ref<HLNFile> _parentFileForColumn(int column);
    HLNFile::ChildList _filesInColumn(int column, bool reorder);
    void refreshSelectedFileInformation();
    void _refreshDisplayForNotification();
    void _saveFrame();
    // Shows the refusal and answers true when a volume is mounted beneath
    // any of the files (judged against a fresh mount table).
    bool _refuseFilesOverMountedDrives(const std::vector<Ref<HLNFile>>& files,
                                       const char* verb = "delete");
    void _destroyFiles(const std::vector<Ref<HLNFile>>& files);
    void _addDestroyList(QMessageBox& box, const std::vector<Ref<HLNFile>>& files);

    // Reads, in one hold of the tree lock, the figures of the root and of
    // every row of the loaded columns; then shows the title, the summary
    // and the status line from them. The cells draw from the same reading.
    void _takeReading();
    void _showTitle();
    void _showStatus();
    // Starts following once the tree is sized, and keeps the watches up to
    // date after re-reads; what the status line says of it.
    void _followChanges();
    QString _liveText() const;
    // HLNFileBrowserCell::Reading
    bool shownSnapshot(const HLNFile* file, int column, int row, HLNFile::Snapshot& out) override;
    bool noteFor(const HLNFile* file, QString& text, QColor& color) override;
    bool exclusiveBytes(const HLNFile* file, int column, int row,
                        std::optional<uint64_t>& out) override;
    void _showSharedSpace(bool on);
    QString _sharedSpaceText(const std::vector<Ref<HLNFile>>& files,
                             const std::vector<HLNFile::Snapshot>& figures) const;

    // HLNColumnBrowserDelegate
    int browserNumberOfRowsInColumn(HLNColumnBrowser* browser, int column) override;
    void browserWillDisplayCell(HLNColumnBrowser* browser, HLNBrowserCell* cell, int row,
                                int column) override;
    QString browserTitleOfColumn(HLNColumnBrowser* browser, int column) override;
    bool browserIsColumnValid(HLNColumnBrowser* browser, int column) override;

    QMainWindow* _window = nullptr; // owned; deleted with the controller
    HLNColumnBrowser* _browser = nullptr;
    HLNFileWell* _fileWell = nullptr;
    QLabel* _fileSizeField = nullptr;
    QLabel* _measuresField = nullptr;
    HLNShrinkingTextDisplayer* _descriptionDisplayer = nullptr;
    HLNShrinkingTextDisplayer* _filenameDisplayer = nullptr;
    std::vector<HLNWindowCommand> _commands;
    QSplitter* _splitter = nullptr;
    HLNTreemapView* _treemap = nullptr;
    // Every open window shows the choices anew (and, for Count Each Hard
    // Link, sizes its folder again: the count is the sizing's).
    static void _viewChoicesChanged(bool resize);
    static void _showFigure(HLNFile::Figure figure, bool on);
    HLNFindPanel* _findPanel = nullptr;
    qint64 _lastFindMs = 0; // when the list was last searched again
    QTimer* _findTimer = nullptr;
    std::unique_ptr<HLNChangeFollower> _follower;
    std::unique_ptr<HLNWindowGrowth> _growth;
    std::unique_ptr<HLNSharedSpace> _sharedSpace; // while Show Shared Space is on
    // Of the last reading, parallel to _shownColumns: each row's node and
    // its exclusive bytes (none while not computed).
    std::vector<std::vector<std::pair<const HLNFile*, std::optional<uint64_t>>>> _shownExclusive;
    QString _finishedText;         // the status line's figures of the moment sizing finished
    QList<int> _splitterSizes;     // the splitter's sizes while the map was last shown
    QMenu* _contextMenu = nullptr; // child of the window
    Ref<HLNFile> _rootFile;
    std::string _rootPath;
    QString _rootFileTitle;
    // Entry c: the children column c shows, in row order, as they stood when
    // the browser last asked for the column's row count. The only source of
    // rows, so a column's rows stay put between two reloads of it.
    TFSparseArray<HLNFile::ChildList> cachedColumns;
    // The last reading: entry c parallels cachedColumns entry c. Stale once
    // a column has been loaded since; not taken while a refresh rebuilds
    // the columns.
    std::vector<std::vector<HLNFile::Snapshot>> _shownColumns;
    HLNFile::Snapshot _shownRoot;
    bool _readingStale = true;
    bool _rebuilding = false;
    bool _refreshed = false; // a refresh has run: the title shows figures
    bool _sizingFinished = false;
    QLabel* _statusField = nullptr;
    // When the root's sizing began, and the nodes made in the program by then.
    qint64 _sizingStartedMs = 0;
    uint64_t _nodesAtSizingStart = 0;
    void _showMovedToTrash(std::vector<HLNTrashMover::Moved> moved);
    QLabel* _trashNote = nullptr;
    QPushButton* _undoButton = nullptr;
    QTimer* _trashNoteTimer = nullptr;
    std::vector<HLNTrashMover::Moved> _movedToTrash; // what Undo puts back
    bool _closing = false;
    bool _isScan = false;  // the tree came from a scan file
    QString _scanDate;     // when it was made, as the title shows it
    std::string _scanFile; // the file it was read from
    // A large scan is read while the window shows it: the reading while it
    // lasts, then what the status line says of it.
    std::shared_ptr<HLNScanLoad> _scanLoad;
    QString _scanNote;
    void _scanEnded(const std::string& problem);
};
