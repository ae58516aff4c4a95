#include "browser/HLNWindowGrowth.h"

#include "browser/HLNFileTreeController.h"
#include "browser/HLNFindPanel.h"
#include "browser/HLNSizeHistoryChart.h"
#include "browser/HLNTreemapView.h"
#include "history/HLNFolderFigures.h"
#include "history/HLNHistoryRecorder.h"
#include "scans/HLNScanReader.h"
#include "toolkit/TFFileSystemIdentity.h"
#include "toolkit/TFPreference.h"
#include "toolkit/TFString.h"

#include <QAction>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QSignalBlocker>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>

namespace {

const char* const kKeepHistoryKey = "KeepScanHistory";
std::atomic<bool> recorderUsed{false};

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

QString dateOfMs(int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm");
}

const QColor kSame(168, 168, 168), kGrew(222, 54, 44), kShrank(46, 112, 224), kNew(154, 84, 214);

QColor mix(const QColor& from, const QColor& to, double t) {
    return QColor::fromRgbF(float(from.redF() + (to.redF() - from.redF()) * t),
                            float(from.greenF() + (to.greenF() - from.greenF()) * t),
                            float(from.blueF() + (to.blueF() - from.blueF()) * t));
}

} // namespace

HLNWindowGrowth::HLNWindowGrowth(HLNFileTreeController* window) : _window(window) {}

HLNWindowGrowth::~HLNWindowGrowth() = default;

bool HLNWindowGrowth::keepsHistory() {
    const TFPreference keep = TFPreference::preferenceForKey(kKeepHistoryKey);
    return !keep.exists() || keep.boolValue();
}

void HLNWindowGrowth::setKeepsHistory(bool keep) {
    TFPreference::setBool(kKeepHistoryKey, keep);
}

void HLNWindowGrowth::waitForRecords() {
    if (recorderUsed)
        HLNHistoryRecorder::shared().waitUntilIdle();
}

// ---------------------------------------------------------------------------
// Recording

void HLNWindowGrowth::rootSized() {
    if (!std::exchange(_recordPending, false) || _window->isScan() || !keepsHistory())
        return;
    recorderUsed = true;
    // The figures are read here, in one hold of the tree lock; the disk is
    // the recorder's, on its own thread (which calls nothing of Qt's).
    HLNHistoryRecorder::shared().record(
        HLNFolderFigures::toRecord(_window->rootFile(), _window->rootPath()));
}

// ---------------------------------------------------------------------------
// Commands

void HLNWindowGrowth::addCommands(std::vector<HLNWindowCommand>& commands) {
    commands.push_back({.name = "compareScanFile",
                        .menu = "&View/Compare With",
                        .text = "Scan File…",
                        .separatorBefore = true,
                        .toolTip = "Compare with a scan exported earlier (ncdu JSON)",
                        .run = [this](bool) { _chooseScanFile(); }});
    commands.push_back({.name = "compareNone",
                        .menu = "&View/Compare With",
                        .text = "None",
                        .checkable = true,
                        .checked = true,
                        .run = [this](bool) { stopComparing(); }});
    commands.push_back({.name = "orderByGrowth",
                        .menu = "&View",
                        .text = "Order by Growth",
                        .checkable = true,
                        .enabled = [this] { return isComparing(); },
                        .run = [this](bool) { _window->_refreshDisplay(); }});
    commands.push_back(
        {.name = "sizeHistory",
         .menu = "&View",
         .text = "Size History…",
         .toolTip = "Chart the selected folder's size in every record of this folder",
         .enabled =
             [this] {
                 const auto files = _window->selectedFiles();
                 return files.size() == 1 && files[0]->isDirectory();
             },
         .run = [this](bool) { showSizeHistory(); }});
}

HLNSizeHistoryChart* HLNWindowGrowth::showSizeHistory() {
    const std::vector<Ref<HLNFile>> files = _window->selectedFiles();
    if (files.size() != 1 || !files[0]->isDirectory())
        return nullptr;
    // Records name folders by their path below the root.
    std::string relative;
    for (Ref<HLNFile> at = files[0]; at && at != _window->rootFile(); at = at->parent())
        relative = relative.empty() ? at->name() : at->name() + "/" + relative;
    HLNHistory history;
    std::optional<std::vector<HLNHistory::Point>> points =
        history.diskUsageOver(HLNFolderFigures::recordPathOf(_window->rootPath()), relative);
    if (!points) {
        _refused("Hollin can't show the size history.",
                 QString::fromStdString(history.lastProblem()));
        return nullptr;
    }
    return HLNSizeHistoryChart::showDialog(_window->window(),
                                           TFString::displayStringForName(files[0]->nameView()),
                                           std::move(*points));
}

void HLNWindowGrowth::windowBuilt() {
    if (QAction* scanFile = _window->actionFor("compareScanFile"))
        for (QObject* owner : scanFile->associatedObjects())
            if (auto* menu = qobject_cast<QMenu*>(owner)) {
                _compareMenu = menu;
                connect(menu, &QMenu::aboutToShow, this, &HLNWindowGrowth::fillCompareMenu);
            }
}

void HLNWindowGrowth::fillCompareMenu() {
    for (QAction* action : _recordActions)
        delete action;
    _recordActions.clear();
    if (!_compareMenu)
        return;
    QAction* before = _compareMenu->actions().value(0);
    HLNHistory history;
    const std::string rootPath = HLNFolderFigures::recordPathOf(_window->rootPath());
    const auto records = history.records(rootPath);
    if (!records || records->empty()) {
        auto* none =
            new QAction(records ? "No Records of This Folder" : "History Unreadable", _compareMenu);
        none->setEnabled(false);
        if (!records)
            none->setToolTip(QString::fromStdString(history.lastProblem()));
        _compareMenu->insertAction(before, none);
        _recordActions.push_back(none);
        return;
    }
    for (auto it = records->rbegin(); it != records->rend(); ++it) {
        const HLNHistory::Record record = *it;
        auto* item = new QAction(
            QString("%1 \u2014 %2").arg(dateOfMs(record.timeMs), bytesText(record.diskUsage)),
            _compareMenu);
        item->setCheckable(true);
        item->setChecked(_recordId == record.id);
        connect(item, &QAction::triggered, this, [this, record] { compareWithRecord(record); });
        _compareMenu->insertAction(before, item);
        _recordActions.push_back(item);
    }
}

// ---------------------------------------------------------------------------
// Comparing

void HLNWindowGrowth::_refused(const QString& what, const QString& why) {
    auto* box =
        new QMessageBox(QMessageBox::Warning, "Hollin", what, QMessageBox::Ok, _window->window());
    box->setInformativeText(why);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("compareRefused");
    box->show();
}

bool HLNWindowGrowth::compareWithRecord(const HLNHistory::Record& record) {
    const QString what =
        QString("Hollin can't compare with the record of %1.").arg(dateOfMs(record.timeMs));
    // Another file system at the same path is another tree: its folders
    // would match by name only.
    if (!record.fileSystem.empty() && !_window->isScan()) {
        const std::string now = TFFileSystemIdentity::ofPath(_window->rootPath());
        if (!now.empty() && now != record.fileSystem) {
            _refused(what, "The folder is on another file system now than when it was recorded.");
            _showComparing(); // the menu's checks stay as they were
            return false;
        }
    }
    HLNHistory history;
    std::optional<HLNFolderFigures> then = history.figuresOf(record);
    if (!then) {
        _refused(what, history.lastProblem().empty()
                           ? QString("The record is no longer kept.")
                           : QString::fromStdString(history.lastProblem()));
        _showComparing();
        return false;
    }
    _compareWith(std::move(*then), dateOfMs(record.timeMs), record.id);
    return true;
}

bool HLNWindowGrowth::compareWithScan(const std::string& scanPath) {
    std::string error;
    std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanAtPath(scanPath, &error);
    if (!scan) {
        _refused(QString("Hollin can't compare with the scan \"%1\".")
                     .arg(HLNFileTreeController::displayPath(scanPath)),
                 QString::fromStdString(TFString::stringWithDataUTF8(error)) + ".");
        _showComparing();
        return false;
    }
    HLNFolderFigures then = HLNFolderFigures::ofTree(scan->root);
    then.timeMs = scan->timestamp * 1000;
    const QString since =
        scan->timestamp > 0 ? dateOfMs(then.timeMs) : TFString::displayStringForName(scanPath);
    _compareWith(std::move(then), since, 0);
    return true;
}

void HLNWindowGrowth::_chooseScanFile() {
    const QString file = QFileDialog::getOpenFileName(
        _window->window(), "Compare With Scan", QString(), "Scans (*.json *.ncdu);;All files (*)");
    if (file.isEmpty()) {
        _showComparing();
        return;
    }
    compareWithScan(file.toLocal8Bit().toStdString());
}

void HLNWindowGrowth::_compareWith(HLNFolderFigures then, const QString& since, int64_t recordId) {
    _comparison = std::make_unique<HLNComparison>(std::move(then));
    _since = since;
    _recordId = recordId;
    _window->treemap()->setNodeColors(
        [this](const HLNFile* node, const HLNFile* folder) {
            const Mark* mark = markOf(node);
            return tileColorOf(mark ? mark : markOf(folder));
        },
        {{kShrank, "shrank"}, {kSame, "same"}, {kGrew, "grew"}, {kNew, "new"}});
    _window->findPanel()->setGoneSource([this] {
        std::vector<HLNFindPanel::GoneFolder> folders;
        for (const Gone& gone : _gone)
            folders.push_back({gone.relativePath, gone.diskUsage});
        return folders;
    });
    _showComparing();
}

void HLNWindowGrowth::stopComparing() {
    _comparison.reset();
    _recordId = 0;
    _since.clear();
    _marks.clear();
    _gone.clear();
    _window->treemap()->setNodeColors({});
    _window->findPanel()->setGoneSource({});
    _showComparing();
}

void HLNWindowGrowth::_showComparing() {
    if (QAction* none = _window->actionFor("compareNone")) {
        const QSignalBlocker quiet(none);
        none->setChecked(!isComparing());
    }
    if (QAction* order = _window->actionFor("orderByGrowth"); order && !isComparing()) {
        const QSignalBlocker quiet(order);
        order->setChecked(false);
    }
    _window->updateWhetherButtonsAreEnabled();
    HLNFileBrowserCell::restyleAll(); // the notes come or go with sizes unchanged
    _window->_refreshDisplay();
}

void HLNWindowGrowth::refresh() {
    _marks.clear();
    _gone.clear();
    if (!_comparison)
        return;
    QElapsedTimer clock;
    clock.start();
    const HLNFolderFigures& then = _comparison->then();
    // Per folder then: 0 not found now, 1 found, 2 found and sized whole
    // (what it does not hold now is gone).
    std::vector<uint8_t> found(then.folders.size(), 0);
    struct Pending {
        Ref<HLNFile> folder;
        std::string relativePath;
        bool inNew;
    };
    {
        HLNFile::TreeGuard held; // one reading of the whole tree
        std::vector<Pending> pending{{_window->rootFile(), std::string(), false}};
        while (!pending.empty()) {
            Pending at = std::move(pending.back());
            pending.pop_back();
            const HLNFile::Snapshot now = at.folder->snapshot();
            const std::optional<size_t> index =
                at.inNew ? std::nullopt : _comparison->indexOf(at.relativePath);
            const bool isNew = !index;
            if (index)
                found[*index] = now.sizeStatus == SizeStatus::complete ? 2 : 1;
            if (now.sizeStatus != SizeStatus::notStarted) {
                const uint64_t before = index ? then.folders[*index].diskUsage : 0;
                _marks[at.folder.get()] = {int64_t(now.sizeSoFar) - int64_t(before), isNew, before};
            }
            // A folder not yet started is left for the sizing thread to list.
            if (now.sizeStatus == SizeStatus::notStarted)
                continue;
            HLNFile::ChildList children = at.folder->children(HLNFile::Asker::window);
            if (!children)
                continue;
            for (const Ref<HLNFile>& child : *children) {
                if (child->isDirectory())
                    pending.push_back({child,
                                       at.relativePath.empty()
                                           ? child->name()
                                           : at.relativePath + "/" + child->name(),
                                       isNew});
                else if (isNew)
                    _marks[child.get()] = {int64_t(child->sizeSoFar()), true, 0};
            }
        }
    }
    for (size_t i = 1; i < then.folders.size(); ++i)
        if (!found[i] && found[then.folders[i].parent] == 2)
            _gone.push_back({then.relativePath(i), then.folders[i].diskUsage});
    std::sort(_gone.begin(), _gone.end(), [](const Gone& a, const Gone& b) {
        return a.diskUsage != b.diskUsage ? a.diskUsage > b.diskUsage
                                          : a.relativePath < b.relativePath;
    });
    _refreshMs = double(clock.nsecsElapsed()) / 1e6;
}

const HLNWindowGrowth::Mark* HLNWindowGrowth::markOf(const HLNFile* node) const {
    auto found = _marks.find(node);
    return found == _marks.end() ? nullptr : &found->second;
}

QString HLNWindowGrowth::changeText(const Mark& mark) {
    if (mark.isNew)
        return "new";
    if (mark.change > 0)
        return "+" + bytesText(uint64_t(mark.change));
    if (mark.change < 0)
        return QString(QChar(0x2212)) + bytesText(uint64_t(-mark.change));
    return QString();
}

QColor HLNWindowGrowth::textColorOf(const Mark& mark) {
    return mark.isNew ? kNew.darker(130) : mark.change > 0 ? kGrew.darker(120) : kShrank;
}

QColor HLNWindowGrowth::tileColorOf(const Mark* mark) {
    if (!mark)
        return kSame;
    if (mark->isNew)
        return kNew;
    const double now = double(int64_t(mark->then) + mark->change);
    const double base = std::max(double(mark->then), now);
    if (base <= 0 || mark->change == 0)
        return kSame;
    // By the share of the folder that changed; the root keeps small changes
    // visible (1% tints a tenth of the way).
    const double share = std::min(1.0, std::abs(double(mark->change)) / base);
    return mix(kSame, mark->change > 0 ? kGrew : kShrank, std::sqrt(share));
}

QString HLNWindowGrowth::summaryOf(const std::vector<Ref<HLNFile>>& files) const {
    int64_t change = 0;
    bool any = false, allNew = true;
    for (const Ref<HLNFile>& file : files)
        if (const Mark* mark = markOf(file.get())) {
            any = true;
            allNew = allNew && mark->isNew;
            change += mark->change;
        }
    if (!any)
        return QString();
    if (allNew)
        return QString("new since %1").arg(_since);
    if (change == 0)
        return QString("unchanged since %1").arg(_since);
    return QString("%1 by %2 since %3")
        .arg(change > 0 ? "grew" : "shrank", bytesText(uint64_t(std::llabs(change))), _since);
}

bool HLNWindowGrowth::ordersByGrowth() const {
    const QAction* order = _window->actionFor("orderByGrowth");
    return isComparing() && order && order->isChecked();
}

HLNFile::ChildList HLNWindowGrowth::ordered(const HLNFile::ChildList& list) const {
    if (!list)
        return list;
    std::vector<uint32_t> order(list->size());
    std::vector<int64_t> key(list->size());
    for (uint32_t i = 0; i < list->size(); ++i) {
        order[i] = i;
        const Mark* mark = markOf((*list)[i].get());
        key[i] = mark ? mark->change : 0;
    }
    // Ties keep the window's order (largest first).
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return key[a] > key[b]; });
    return HLNFile::reorderedList(list, order);
}
