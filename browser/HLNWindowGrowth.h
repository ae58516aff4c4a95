#pragma once

#include "browser/HLNTreemapPainter.h"
#include "browser/HLNWindowCommand.h"
#include "history/HLNComparison.h"
#include "history/HLNHistory.h"
#include "model/HLNFile.h"

#include <QColor>
#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class HLNFileTreeController;
class HLNSizeHistoryChart;
class QAction;
class QMenu;

// A browser window's part in the scan history. It records the window's tree
// each time the window has sized it (Keep Scan History), and it holds what
// the window compares the tree with (View > Compare With: a record of the
// root, or a scan file): every folder's change since, worked out again on
// each refresh of the window, for the cells, the order by growth, the
// treemap's colours, the summary and Find's Gone list.
//
// Folders only: a record keeps no files, so a file shows a change only when
// its folder is new. Changes are of disk usage, whichever measure the window
// shows. Main thread only; a refresh reads the tree in one hold of its lock.
class HLNWindowGrowth : public QObject {
    Q_OBJECT
public:
    explicit HLNWindowGrowth(HLNFileTreeController* window);
    ~HLNWindowGrowth() override;

    // Keep Scan History: one choice for every window, remembered; on
    // unless turned off.
    static bool keepsHistory();
    static void setKeepsHistory(bool keep);
    // Returns once every record a window asked for is written (at quit).
    static void waitForRecords();

    // The rows it adds to the window's command table, and what it needs of
    // the menus they made.
    void addCommands(std::vector<HLNWindowCommand>& commands);
    void windowBuilt();
    // The root has finished sizing: recorded, when the sizing was a whole
    // one (the window's first, or Update of the root) and history is kept.
    void rootSized();
    void recordNextSizing() { _recordPending = true; }

    // The Compare With menu's records, newest first, filled afresh.
    void fillCompareMenu();
    const std::vector<QAction*>& recordActions() const { return _recordActions; }
    // Starts a comparison; false (the user told why) when the record or
    // scan cannot be read, or the root is now another file system.
    bool compareWithRecord(const HLNHistory::Record& record);
    bool compareWithScan(const std::string& scanPath);
    void stopComparing();
    bool isComparing() const { return bool(_comparison); }
    // "2026-12-10 08:30": when the other side was taken.
    const QString& sinceText() const { return _since; }

    // Works every node's change out again from the tree as it is now.
    void refresh();
    double lastRefreshMs() const { return _refreshMs; }
    struct Mark {
        int64_t change = 0; // bytes of disk usage, now less then
        bool isNew = false; // not there then
        uint64_t then = 0;  // its disk usage then
    };
    // The node's mark; null when it has none (a file in a folder that was
    // there, a folder not yet sized, no comparison).
    const Mark* markOf(const HLNFile* node) const;
    // "+1.2 GB", "−300 MB", "new"; empty when unchanged.
    static QString changeText(const Mark& mark);
    // The cell's colour for it, and the map's (grey, towards red as a
    // folder grows and blue as it shrinks by a larger share; new apart).
    static QColor textColorOf(const Mark& mark);
    static QColor tileColorOf(const Mark* mark);
    // "grew by 50.0 MB since DATE" for these nodes; empty without marks.
    QString summaryOf(const std::vector<Ref<HLNFile>>& files) const;

    // View > Order by Growth, while comparing: largest growth first.
    bool ordersByGrowth() const;
    HLNFile::ChildList ordered(const HLNFile::ChildList& list) const;

    // View > Size History: a chart of the selected folder's disk usage in
    // every record of the root; null when one folder is not selected.
    HLNSizeHistoryChart* showSizeHistory();

    struct Gone {
        std::string relativePath;
        uint64_t diskUsage = 0;
    };
    // The topmost folders there then that a sized folder no longer holds.
    const std::vector<Gone>& gone() const { return _gone; }

private:
    void _compareWith(HLNFolderFigures then, const QString& since, int64_t recordId);
    void _chooseScanFile();
    void _showComparing();
    void _refused(const QString& what, const QString& why);

    HLNFileTreeController* _window;
    bool _recordPending = true;
    std::unique_ptr<HLNComparison> _comparison;
    QString _since;
    int64_t _recordId = 0; // the record compared with; 0: a scan or none
    std::unordered_map<const HLNFile*, Mark> _marks;
    std::vector<Gone> _gone;
    double _refreshMs = 0;
    QMenu* _compareMenu = nullptr;
    std::vector<QAction*> _recordActions; // the menu's, made on each showing
};
