#include "browser/HLNFileTreeController.h"

#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileWell.h"
#include "browser/HLNFindPanel.h"
#include "browser/HLNShrinkingTextDisplayer.h"
#include "browser/HLNTreemapView.h"
#include "browser/HLNWorkspace.h"
#include "drives/HLNDrive.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNCompression.h"
#include "model/HLNFile.h"
#include "model/HLNRefreshRequests.h"
#include "support/TempTree.h"
#include "support/TrashHome.h"
#include "support/WidgetEvents.h"
#include "toolkit/TFPreference.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTrash.h"
#include "toolkit/gui/TFWindowPlacement.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <optional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}
uint64_t allocated(const std::string& path) {
    return uint64_t(TempTree::lstatOf(path).st_blocks) * 512;
}
bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// What a modal panel said and which button the test pressed.
struct Panel {
    QString text, informative, list;
    QStringList buttons;
    bool seen = false;
};

// Answers the next modal message box by pressing the button with that text.
void answerNextPanel(Panel& panel, const QString& press) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, &panel, press] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->stop();
        poll->deleteLater();
        panel.seen = true;
        panel.text = box->text();
        panel.informative = box->informativeText();
        if (auto* list = box->findChild<QLabel*>("destroyList"))
            panel.list = list->text();
        for (QAbstractButton* b : box->buttons())
            panel.buttons << b->text();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == press)
                b->click();
    });
    poll->start();
}

// Answers modal message boxes one after another (a box opened from the
// answer to the last one too), pressing the next text of presses in each.
void answerPanels(std::vector<Panel>& panels, QStringList presses) {
    panels.assign(presses.size(), Panel());
    auto* poll = new QTimer;
    poll->setInterval(10);
    auto answered = std::make_shared<int>(0);
    auto last = std::make_shared<QPointer<QMessageBox>>();
    QObject::connect(poll, &QTimer::timeout, [poll, &panels, presses, answered, last] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == last->data())
            return;
        *last = box;
        Panel& panel = panels[*answered];
        panel.seen = true;
        panel.text = box->text();
        panel.informative = box->informativeText();
        if (auto* list = box->findChild<QLabel*>("destroyList"))
            panel.list = list->text();
        for (QAbstractButton* b : box->buttons())
            panel.buttons << b->text();
        const QString press = presses[(*answered)++];
        if (*answered == presses.size()) {
            poll->stop();
            poll->deleteLater();
        }
        for (QAbstractButton* b : box->buttons())
            if (b->text() == press)
                b->click();
    });
    poll->start();
}

class TreeWindow : public ::testing::Test {
protected:
    void TearDown() override { close(); }

    void open(const std::string& path) {
        controller = HLNFileTreeController::initWithPath(path);
        ASSERT_NE(controller, nullptr);
        QApplication::processEvents();
    }
    void close() {
        if (!controller)
            return;
        QPointer<HLNFileTreeController> watch(controller.data());
        controller->window()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        waitFor([&] { return watch.isNull(); }, 2000);
        controller = nullptr;
    }
    // Waits until the sizing thread has finished the tree and a refresh has shown it.
    bool waitUntilComplete() {
        return waitFor([&] {
            return controller->rootFile()->sizeStatus() == SizeStatus::complete &&
                   controller->window()->windowTitle() ==
                       controller->rootFileTitle() + " - " +
                           bytesText(controller->rootFile()->sizeSoFar());
        });
    }
    HLNColumnBrowser* browser() { return controller->browser(); }
    int rowOf(const std::string& name, int column = 0) {
        for (int row = 0; row < browser()->numberOfRowsInColumn(column); ++row)
            if (browser()->loadedCellAtRow(row, column)->stringValue() ==
                TFString::stringForName(name))
                return row;
        return -1;
    }
    void select(const std::vector<std::string>& names, int column = 0) {
        bool first = true;
        for (const std::string& name : names) {
            const int row = rowOf(name, column);
            ASSERT_GE(row, 0) << name;
            if (first)
                browser()->selectRowInColumn(row, column);
            else
                browser()->addRowToSelectionInColumn(row, column);
            first = false;
        }
        controller->selectBrowserCell(); // what the browser's click action sends
    }
    std::vector<std::string> selectedNames() {
        std::vector<std::string> names;
        for (const Ref<HLNFile>& f : controller->selectedFiles())
            names.push_back(f->name());
        return names;
    }
    std::vector<std::string> namesInColumn(int column) {
        std::vector<std::string> names;
        for (int row = 0; row < browser()->numberOfRowsInColumn(column); ++row)
            names.push_back(
                static_cast<HLNFileBrowserCell*>(browser()->loadedCellAtRow(row, column))
                    ->file()
                    ->name());
        return names;
    }

    TempTree tree;
    QPointer<HLNFileTreeController> controller;
};

TEST_F(TreeWindow, TheSummaryOfAFileOfSeveralNamesGivesItsBytesAndTheCountOfNames) {
    tree.writeFile("a", 40000);
    ASSERT_EQ(::link((tree / "a").c_str(), (tree / "b").c_str()), 0);
    ASSERT_EQ(::link((tree / "a").c_str(), (tree / "c").c_str()), 0);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_EQ(controller->rootFile()->sizeSoFar(), TempTree::duBytes(tree.path()));
    for (const char* name : {"a", "c"}) { // the one counted, and one counted at it
        select({name});
        EXPECT_EQ(controller->fileSizeField()->text(),
                  bytesText(allocated(tree / "a")) + ", 1 of 3 names")
            << name;
    }
}

TEST_F(TreeWindow, TitleFollowsTheRootFromSizingToComplete) {
    tree.writeFile("one", 40000);
    tree.mkdir("sub");
    tree.writeFile("sub/two", 90000);
    {
        // Holding the tree lock keeps the sizing thread from starting, so
        // the states before completion can be seen.
        std::unique_lock lock(HLNFile::treeLock());
        open(tree.path());
        EXPECT_EQ(controller->window()->windowTitle(),
                  QString::fromStdString(tree.path()) + " (sizing)");
        // The refresh body alone: taking the refresh lock while holding the
        // tree lock would invert the program's lock order.
        controller->_refreshDisplay();
        EXPECT_EQ(controller->window()->windowTitle(),
                  QString::fromStdString(tree.path()) + " - " +
                      bytesText(controller->rootFile()->sizeSoFar()) + " (sizing)");
    }
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_FALSE(controller->window()->windowTitle().contains("sizing"));
    EXPECT_EQ(controller->rootFile()->sizeSoFar(), TempTree::duBytes(tree.path()));
    EXPECT_EQ(browser()->titleOfColumn(0),
              QString::fromStdString(tree.path().substr(tree.path().rfind('/') + 1)));
    EXPECT_EQ(namesInColumn(0), (std::vector<std::string>{"sub", "one"})) << "largest first";

    controller->window()->showMinimized();
    EXPECT_EQ(controller->window()->windowTitle(), QString::fromStdString(tree.path()));
}

TEST_F(TreeWindow, NothingSelectedClearsTheSummaryAndUpdateMeasuresTheRoot) {
    tree.writeFile("a", 8192);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_EQ(controller->fileSizeField()->text(), "");
    EXPECT_EQ(controller->filenameDisplayer()->stringValue(), "");
    EXPECT_EQ(controller->descriptionDisplayer()->stringValue(), "");
    EXPECT_TRUE(controller->fileWell()->filenames().empty());
    EXPECT_FALSE(controller->deleteButton()->isEnabled());
    EXPECT_FALSE(controller->compressButton()->isEnabled());
    EXPECT_FALSE(controller->revealButton()->isEnabled());
    EXPECT_TRUE(controller->updateButton()->isEnabled());
    EXPECT_FALSE(controller->actionFor("trashSelection")->isEnabled());
    EXPECT_EQ(controller->actionFor("trashSelection")->shortcut(),
              QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    EXPECT_EQ(controller->deleteButton()->focusPolicy(), Qt::NoFocus);

    // Something new on disk shows once Update has measured the root again.
    tree.writeFile("late", 300000);
    controller->updateButton()->click();
    ASSERT_TRUE(waitFor([&] { return namesInColumn(0) == std::vector<std::string>{"late", "a"}; }));
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_EQ(controller->rootFile()->sizeSoFar(), TempTree::duBytes(tree.path()));
}

TEST_F(TreeWindow, SummaryAddsCompleteSizesAndSaysSizingOtherwise) {
    tree.writeFile("f1", 50000);
    tree.writeFile("f2", 120000);
    tree.mkdir("dir/deeper");
    tree.writeFile("dir/deeper/x", 1000);
    {
        std::unique_lock lock(HLNFile::treeLock()); // "dir" stays unsized meanwhile
        open(tree.path());
        select({"dir", "f1"});
        EXPECT_EQ(controller->fileSizeField()->text(), "sizing");
        EXPECT_TRUE(controller->deleteButton()->isEnabled());
        EXPECT_TRUE(controller->revealButton()->isEnabled());
    }
    ASSERT_TRUE(waitUntilComplete());
    select({"f1", "f2"});
    EXPECT_EQ(controller->fileSizeField()->text(),
              bytesText(allocated(tree / "f1") + allocated(tree / "f2")));
    EXPECT_EQ(controller->filenameDisplayer()->stringValue(), "2 items");
    EXPECT_EQ(controller->descriptionDisplayer()->stringValue(), "");
    EXPECT_EQ(controller->fileWell()->filenames(),
              (std::vector<std::string>{tree / "f2", tree / "f1"}));

    select({"f1"});
    EXPECT_EQ(controller->filenameDisplayer()->stringValue(), "f1");
    EXPECT_EQ(controller->filenameDisplayer()->toolTip(), QString::fromStdString(tree / "f1"));
    EXPECT_EQ(controller->fileSizeField()->text(), bytesText(allocated(tree / "f1")));
    // Clicked again: the well already stands for the path, nothing is looked up anew.
    controller->filenameDisplayer()->setStringValue("kept");
    controller->selectBrowserCell();
    EXPECT_EQ(controller->filenameDisplayer()->stringValue(), "kept");
}

TEST_F(TreeWindow, ViewShowsEachMeasureAndCountsEachHardLinkWhenAsked) {
    // One 50 MB file of ten names, five in each of two folders, beside a
    // folder of many small files.
    tree.mkdir("p/one");
    tree.mkdir("p/two");
    tree.writeFile("p/one/f0", 50 << 20);
    for (int i = 1; i < 10; ++i)
        ASSERT_EQ(::link((tree / "p/one/f0").c_str(),
                         (tree / (i < 5 ? "p/one/f" : "p/two/f") + std::to_string(i)).c_str()),
                  0);
    tree.mkdir("many");
    for (int i = 0; i < 40; ++i)
        tree.writeFile("many/" + std::to_string(i), 10);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    auto rootShows = [&](uint64_t bytes) {
        return waitFor([&] {
            return controller->rootFile()->sizeStatus() == SizeStatus::complete &&
                   controller->rootFile()->sizeSoFar() == bytes &&
                   controller->window()->windowTitle().endsWith(" - " + bytesText(bytes));
        });
    };
    const uint64_t once = TempTree::duBytes(tree.path());
    EXPECT_TRUE(rootShows(once));
    EXPECT_EQ(namesInColumn(0), (std::vector<std::string>{"p", "many"}));

    // Every name counts its bytes: the tree is sized again, as du -l counts it.
    controller->eachLinkAction()->trigger();
    const std::string all = "du -sxl -B1 " + tree.path() + " | cut -f1";
    std::unique_ptr<FILE, int (*)(FILE*)> du(::popen(all.c_str(), "r"), ::pclose);
    unsigned long long each = 0;
    ASSERT_EQ(std::fscanf(du.get(), "%llu", &each), 1);
    EXPECT_GE(each, once + 9 * (50ull << 20));
    EXPECT_TRUE(rootShows(each));
    controller->eachLinkAction()->trigger();
    EXPECT_TRUE(rootShows(once));

    // Items: the folder of many files goes first, and the title counts entries.
    controller->figureAction(HLNFile::Figure::items)->trigger();
    EXPECT_EQ(namesInColumn(0), (std::vector<std::string>{"many", "p"}));
    EXPECT_EQ(controller->window()->windowTitle(),
              controller->rootFileTitle() + " - 46 items"); // each file once
    controller->figureAction(HLNFile::Figure::apparentSize)->trigger();
    EXPECT_EQ(namesInColumn(0), (std::vector<std::string>{"p", "many"}));
    select({"many"});
    EXPECT_TRUE(controller->measuresField()->text().startsWith(
        bytesText(400 + uint64_t(TempTree::lstatOf(tree / "many").st_size)) + " apparent"))
        << controller->measuresField()->text().toStdString();
    EXPECT_TRUE(controller->measuresField()->text().contains("41 items"));

    // Dates end each row, on the right.
    controller->datesAction()->trigger();
    auto* cell = static_cast<HLNFileBrowserCell*>(browser()->loadedCellAtRow(rowOf("many"), 0));
    const std::vector<HLNTextRun>& runs = cell->attributedStringValue();
    ASSERT_FALSE(runs.empty());
    EXPECT_TRUE(runs.back().atRight);
    controller->datesAction()->trigger();
    controller->figureAction(HLNFile::Figure::diskUsage)->trigger();
    EXPECT_TRUE(rootShows(once));
}

// What a right click at a point of column 0 leaves: the press selects, then
// the menu is asked for.
void rightClick(HLNColumnBrowser* browser, const QPoint& point) {
    auto* view = qobject_cast<QAbstractItemView*>(browser->viewOfColumn(0));
    ASSERT_TRUE(view);
    QTest::mousePress(view->viewport(), Qt::RightButton, {}, point);
    QTest::mouseRelease(view->viewport(), Qt::RightButton, {}, point);
    QContextMenuEvent event(QContextMenuEvent::Mouse, point, view->viewport()->mapToGlobal(point));
    QApplication::sendEvent(view->viewport(), &event);
}

QStringList enabledItems(QMenu* menu, bool enabled) {
    QStringList texts;
    for (QAction* a : menu->actions())
        if (!a->isSeparator() && a->isEnabled() == enabled)
            texts << a->text();
    return texts;
}

TEST_F(TreeWindow, RowContextMenuActsOnTheClickedRowWithTheWindowsEnabling) {
    const std::string odd = tree.writeFile("odd\xff name", 300000);
    tree.writeFile("small", 1000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    select({"small"});

    // A right click on another row selects it, and the menu acts on it.
    auto* view = qobject_cast<QAbstractItemView*>(browser()->viewOfColumn(0));
    ASSERT_TRUE(view);
    rightClick(browser(),
               view->visualRect(view->model()->index(rowOf("odd\xff name"), 0)).center());
    QMenu* menu = controller->contextMenu();
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, 2000));
    EXPECT_EQ(selectedNames(), std::vector<std::string>{"odd\xff name"});
    EXPECT_EQ(controller->fileWell()->filenames(), std::vector<std::string>{odd})
        << "the summary followed";
    EXPECT_EQ(enabledItems(menu, true),
              (QStringList{"&Reveal in File Manager", "&Open", "Copy &Path", "&Update",
                           "&Move to Trash", "&Destroy…"}));
    menu->hide();

    // Copy Path: the exact bytes as text, and a file URL that keeps them.
    controller->contextMenu()->actions()[2]->trigger();
    const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->data("text/plain").toStdString(), odd);
    ASSERT_EQ(copied->urls().size(), 1);
    EXPECT_EQ(HLNWorkspace::pathForFileURL(copied->urls()[0]), odd);

    // Below the rows nothing is selected: only Update is left.
    rightClick(browser(), QPoint(10, view->viewport()->height() - 5));
    ASSERT_TRUE(waitFor([&] { return menu->isVisible(); }, 2000));
    EXPECT_TRUE(controller->selectedFiles().empty());
    EXPECT_EQ(enabledItems(menu, true), QStringList{"&Update"});
    EXPECT_EQ(enabledItems(menu, false),
              (QStringList{"&Reveal in File Manager", "&Open", "Copy &Path", "&Move to Trash",
                           "&Destroy…"}));
    menu->hide();
}

// A real click at the middle of a row, as the window system delivers it.
void clickRow(HLNColumnBrowser* browser, int column, int row) {
    auto* view = qobject_cast<QAbstractItemView*>(browser->viewOfColumn(column));
    ASSERT_TRUE(view);
    const QPoint at = view->visualRect(view->model()->index(row, 0)).center();
    WidgetEvents::advance(5000); // no double click
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
}

TEST_F(TreeWindow, TheRowLastClickedIsWhatTheCommandsActOn) {
    TrashHome::path();
    TrashHome::empty();
    tree.mkdir("photos");
    tree.writeFile("photos/a.jpg", 400000);
    tree.writeFile("photos/b.jpg", 100000);
    tree.writeFile("notes", 1000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    controller->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller->window()));

    clickRow(browser(), 0, rowOf("photos"));
    ASSERT_EQ(browser()->lastColumn(), 1);
    clickRow(browser(), 1, rowOf("a.jpg", 1));
    EXPECT_EQ(selectedNames(), std::vector<std::string>{"a.jpg"});
    // The folder again: it is the selection, its column stays shown, the
    // child is no longer highlighted, and the summary says so.
    clickRow(browser(), 0, rowOf("photos"));
    EXPECT_EQ(selectedNames(), std::vector<std::string>{"photos"});
    EXPECT_EQ(browser()->lastColumn(), 1);
    EXPECT_TRUE(browser()->selectedRowsInColumn(1).empty());
    EXPECT_EQ(controller->filenameDisplayer()->stringValue(), "photos");
    EXPECT_EQ(controller->fileWell()->filenames(), std::vector<std::string>{tree / "photos"});

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete);
    ASSERT_TRUE(waitFor([&] { return namesInColumn(0) == std::vector<std::string>{"notes"}; }));
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/photos/a.jpg"));
    EXPECT_FALSE(exists(TrashHome::trash() + "/files/a.jpg"));
}

// Bytes back from an abbreviation as the window shows it ("1.5 MB").
double shownBytes(QString text) {
    text = text.trimmed();
    const QStringList parts = text.split(' ');
    if (parts.size() != 2)
        return -1;
    const QStringList units{"B", "KB", "MB", "GB", "TB", "PB", "EB"};
    const int unit = units.indexOf(parts[1]);
    return unit < 0 ? -1 : parts[0].toDouble() * std::pow(1024.0, unit);
}

// Holds the sizing thread as it takes a node of a given name, until let go.
class Gate {
public:
    Gate() {
        HLNBackgroundFileSizer::setVisitHookForTesting([this](const Ref<HLNFile>& n) {
            std::unique_lock l(_lock);
            if (n->nameView() != _at)
                return;
            _held = true;
            _changed.notify_all();
            _changed.wait(l, [&] { return !_held; });
        });
    }
    ~Gate() {
        setAt("");
        release();
        HLNBackgroundFileSizer::setVisitHookForTesting(nullptr);
    }
    void setAt(const std::string& name) {
        std::scoped_lock l(_lock);
        _at = name;
    }
    bool waitUntilHeld() {
        std::unique_lock l(_lock);
        return _changed.wait_for(l, std::chrono::seconds(20), [&] { return _held; });
    }
    void release() {
        std::scoped_lock l(_lock);
        _held = false;
        _changed.notify_all();
    }

private:
    std::mutex _lock;
    std::condition_variable _changed;
    std::string _at;
    bool _held = false;
};

TEST_F(TreeWindow, FindSelectsAResultInTheColumnsAndDeleteMovesItToTheTrash) {
    TrashHome::path();
    TrashHome::empty();
    tree.mkdir("photos/2024");
    tree.writeFile("photos/2024/beach.jpg", 300000);
    tree.writeFile("photos/cat.JPG", 100000);
    tree.writeFile("notes.txt", 1000);
    // A program by its execute bit alone: its extension row goes under it.
    ASSERT_EQ(::chmod(tree.writeFile("run", 2000).c_str(), 0755), 0);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    controller->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller->window()));

    HLNFindPanel* find = controller->findPanel();
    // A search walks on a thread of its own: its end is its sign.
    auto searched = [&] { return waitFor([&] { return !find->isSearching(); }); };
    QTest::keySequence(controller->window(), QKeySequence::Find);
    ASSERT_TRUE(find->isVisible());
    QTest::keyClicks(find->nameField(), "jpg"); // a part of the name, either case
    ASSERT_TRUE(searched());
    QTreeWidget* results = find->results();
    ASSERT_EQ(results->topLevelItemCount(), 2);
    EXPECT_EQ(results->topLevelItem(0)->text(0), "photos/2024/beach.jpg"); // largest first
    EXPECT_EQ(results->topLevelItem(1)->text(0), "photos/cat.JPG");

    results->setFocus();
    results->setCurrentItem(results->topLevelItem(0));
    EXPECT_EQ(selectedNames(), std::vector<std::string>{"beach.jpg"});
    EXPECT_EQ(browser()->lastColumn(), 2);
    QTest::keyClick(results, Qt::Key_Delete);
    ASSERT_TRUE(waitFor([&] { return results->topLevelItemCount() == 1; }));
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/beach.jpg"));

    find->choiceBox()->setCurrentIndex(int(HLNFindPanel::Choice::LargestFiles));
    ASSERT_TRUE(searched());
    EXPECT_EQ(results->topLevelItemCount(), 3); // cat.JPG, run and notes.txt

    // Kinds: each with its extensions; choosing one fades the rest of the map.
    find->choiceBox()->setCurrentIndex(int(HLNFindPanel::Choice::Kinds));
    ASSERT_TRUE(searched());
    EXPECT_TRUE(results->rootIsDecorated()); // a kind can be opened onto its extensions
    const QList<QTreeWidgetItem*> image = results->findItems("image", Qt::MatchExactly);
    ASSERT_EQ(image.size(), 1);
    ASSERT_EQ(image.front()->childCount(), 1);
    EXPECT_EQ(image.front()->child(0)->text(0), ".jpg");
    EXPECT_EQ(image.front()->child(0)->text(1), image.front()->text(1));
    EXPECT_TRUE(image.front()->text(2).startsWith("1 · ")) << image.front()->text(2).toStdString();
    const QList<QTreeWidgetItem*> program =
        results->findItems("program or library", Qt::MatchExactly);
    ASSERT_EQ(program.size(), 1);
    ASSERT_EQ(program.front()->childCount(), 1);
    EXPECT_EQ(program.front()->child(0)->text(0), "(no extension)");
    EXPECT_EQ(program.front()->child(0)->text(1), program.front()->text(1));
    const QImage before = controller->treemap()->grab().toImage();
    image.front()->child(0)->setSelected(true);
    EXPECT_NE(controller->treemap()->grab().toImage(), before);

    // Two rows chosen in the list: the window's commands act on both.
    find->choiceBox()->setCurrentIndex(int(HLNFindPanel::Choice::LargestFiles));
    ASSERT_TRUE(searched());
    ASSERT_EQ(results->topLevelItemCount(), 3);
    for (int i = 0; i < results->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = results->topLevelItem(i);
        EXPECT_EQ(row->text(2), "1"); // items: a file is one
        row->setSelected(row->text(0) != "photos/cat.JPG");
    }
    EXPECT_EQ(controller->selectedFiles().size(), 2u);
    EXPECT_TRUE(controller->deleteButton()->isEnabled());
    QTest::keyClick(results, Qt::Key_Delete);
    ASSERT_TRUE(waitFor([&] { return results->topLevelItemCount() == 1; }));
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/run"));
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/notes.txt"));
    QTest::keyClick(results, Qt::Key_Escape);
    EXPECT_FALSE(find->isVisible());
}

TEST_F(TreeWindow, FindFollowsTheTreeAsItIsReadAgain) {
    tree.mkdir("a");
    for (int i = 0; i < 3; ++i)
        tree.writeFile("a/" + std::to_string(i) + ".log", 1000);
    open(tree.path());
    HLNFindPanel* find = controller->findPanel();
    controller->findAction()->trigger(); // while it is sized
    QTest::keyClicks(find->nameField(), ".log");
    ASSERT_TRUE(waitUntilComplete());
    ASSERT_TRUE(waitFor([&] { return find->results()->topLevelItemCount() == 3; }));
    // A re-read adds a match: the list follows without a keystroke, its walk
    // reading the tree while the sizing thread changes it.
    tree.writeFile("a/3.log", 1000);
    controller->rootFile()->existingChildNamed("a")->refreshSize();
    EXPECT_TRUE(waitFor([&] { return find->results()->topLevelItemCount() == 4; }));
}

TEST_F(TreeWindow, EverythingShownComesFromOneReadingOfTheTree) {
    for (const char* folder : {"a-small", "b-gate", "c-photos", "d-gate"})
        tree.mkdir(folder);
    tree.writeFile("a-small/x", 100000);
    tree.writeFile("b-gate/z", 1000); // an empty folder is complete unvisited
    tree.writeFile("c-photos/p1", 3000000);
    tree.writeFile("c-photos/p2", 2000000);
    tree.writeFile("d-gate/y", 1000);
    Gate gate;
    gate.setAt("b-gate");
    open(tree.path());
    ASSERT_TRUE(gate.waitUntilHeld());
    controller->_refreshDisplay();
    const QString sizing = controller->statusField()->text();
    EXPECT_TRUE(sizing.startsWith("Sizing: ") && sizing.contains(" items counted, ") &&
                sizing.endsWith(" elapsed"))
        << sizing.toStdString();

    // No refresh meanwhile: the photos are counted while the window shows
    // the figures of the moment before.
    std::optional<HLNRefreshRequests::Hold> noRefresh(std::in_place);
    gate.setAt("d-gate");
    gate.release();
    ASSERT_TRUE(gate.waitUntilHeld());
    clickRow(browser(), 0, rowOf("c-photos"));
    ASSERT_EQ(browser()->lastColumn(), 1);
    controller->window()->grab(); // everything drawn, as the screen shows it

    auto shown = [&](int column, int row) {
        auto* cell = static_cast<HLNFileBrowserCell*>(browser()->loadedCellAtRow(row, column));
        return shownBytes(cell->attributedStringValue().at(0).text);
    };
    const QString title = controller->window()->windowTitle();
    ASSERT_TRUE(title.endsWith(" (sizing)")) << title.toStdString();
    const double root = shownBytes(title.section(" - ", -1).chopped(QString(" (sizing)").size()));
    ASSERT_GT(root, 0) << title.toStdString();
    for (int row = 0; row < browser()->numberOfRowsInColumn(0); ++row)
        EXPECT_LE(shown(0, row), root)
            << namesInColumn(0)[row] << " beside " << title.toStdString();
    const double photos = shown(0, rowOf("c-photos"));
    EXPECT_GE(photos, 5000000) << "the photos are counted";
    for (int row = 0; row < browser()->numberOfRowsInColumn(1); ++row)
        EXPECT_LE(shown(1, row), photos) << namesInColumn(1)[row];
    EXPECT_EQ(shownBytes(controller->fileSizeField()->text()), photos) << "the summary too";

    gate.setAt("");
    gate.release();
    noRefresh.reset();
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_TRUE(controller->statusField()->text().contains(" items counted in "));
}

TEST_F(TreeWindow, AShortenedRowTellsItsWholeNameInATooltip) {
    const std::string longName(120, 'n');
    tree.writeFile(longName, 1000);
    tree.writeFile("short", 1000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    auto* view = qobject_cast<QAbstractItemView*>(browser()->viewOfColumn(0));
    ASSERT_TRUE(view);
    auto tip = [&](const std::string& name) {
        return view->model()->index(rowOf(name), 0).data(Qt::ToolTipRole);
    };
    EXPECT_EQ(tip(longName).toString(), QString::fromStdString(longName));
    EXPECT_FALSE(tip("short").isValid());
}

TEST_F(TreeWindow, MultipleSelectionFollowsItsNodesThroughAReSort) {
    tree.writeFile("a", 100000);
    tree.writeFile("b", 200000);
    tree.writeFile("c", 300000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    ASSERT_EQ(namesInColumn(0), (std::vector<std::string>{"c", "b", "a"}));
    select({"c", "a"});
    const std::vector<Ref<HLNFile>> before = controller->selectedFiles();

    tree.writeFile("a", 900000); // a becomes the largest
    before[1]->refreshSize();
    ASSERT_TRUE(waitFor([&] {
        return namesInColumn(0) == std::vector<std::string>{"a", "c", "b"};
    }));
    EXPECT_EQ(browser()->selectedRowsInColumn(0), (std::vector<int>{0, 1}));
    const std::vector<Ref<HLNFile>> after = controller->selectedFiles();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].get(), before[1].get()) << "the very same nodes, in their new rows";
    EXPECT_EQ(after[1].get(), before[0].get());
}

TEST_F(TreeWindow, KeysWorkAtOnceAndEveryChangeOfSelectionReachesTheCommands) {
    tree.writeFile("a", 100000);
    tree.writeFile("b", 200000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    QWidget* column0 = browser()->viewOfColumn(0);
    EXPECT_EQ(controller->window()->focusWidget(), column0)
        << "column 0 has the focus when the window opens";

    WidgetEvents::key(column0, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(selectedNames(), (std::vector<std::string>{"b", "a"}));
    EXPECT_TRUE(controller->deleteButton()->isEnabled());
    EXPECT_FALSE(controller->fileSizeField()->text().isEmpty()) << "the summary follows Ctrl+A";

    // A refresh that drops the selection takes the commands with it.
    select({"a"});
    ASSERT_EQ(::unlink((tree / "a").c_str()), 0);
    controller->rootFile()->refreshSize();
    ASSERT_TRUE(waitFor([&] { return namesInColumn(0) == std::vector<std::string>{"b"}; }));
    EXPECT_TRUE(controller->selectedFiles().empty());
    EXPECT_FALSE(controller->deleteButton()->isEnabled());
    EXPECT_FALSE(controller->actionFor("trashSelection")->isEnabled());
}

// Every key of the window's menus: one item's alone (Qt fires neither of
// two items sharing a key), reaching it while it is enabled and never while
// it is not; the rows' menu holds the bar's own items, keys and enabling.
TEST_F(TreeWindow, EachKeyReachesItsOwnCommandAndOnlyWhileItIsEnabled) {
    tree.writeFile("a", 8192);
    QMainWindow* window = nullptr;
    auto openActive = [&] {
        open(tree.path());
        ASSERT_TRUE(waitUntilComplete());
        window = controller->window();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    };
    auto press = [&](const QKeySequence& key) {
        QTest::keySequence(browser()->viewOfColumn(0), key);
    };

    // A row selected: Copy Path and Destroy by their keys.
    openActive();
    select({"a"});
    for (const QKeySequence& key : controller->actionFor("copySelectionPath")->shortcuts())
        press(key);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString(tree / "a"));
    Panel asked;
    answerNextPanel(asked, "Cancel");
    press(controller->actionFor("trashSelection")->shortcut());
    EXPECT_TRUE(asked.seen && asked.text == "Destroy the selected files?");
    EXPECT_TRUE(exists(tree / "a"));
    close();

    // Nothing selected: every key, the selection's doing nothing.
    openActive();
    std::map<QString, QString> itemOfKey;
    std::vector<QAction*> inBar, keyed;
    for (QAction* top : window->menuBar()->actions())
        for (QAction* item : top->menu()->actions()) {
            inBar.push_back(item);
            for (const QKeySequence& key : item->shortcuts()) {
                auto [at, added] = itemOfKey.emplace(key.toString(), item->text());
                EXPECT_TRUE(added)
                    << key.toString().toStdString() << ": " << item->text().toStdString() << " and "
                    << at->second.toStdString();
            }
            if (!item->shortcuts().isEmpty())
                keyed.push_back(item);
        }
    for (QAction* item : controller->contextMenu()->actions())
        EXPECT_TRUE(item->isSeparator() ||
                    std::find(inBar.begin(), inBar.end(), item) != inBar.end())
            << item->text().toStdString();
    QGuiApplication::clipboard()->setText("before");
    QAction* close = controller->actionFor("closeWindow");
    for (QAction* item : keyed) {
        if (item == close)
            continue;
        const bool enabled = item->isEnabled();
        QSignalSpy fired(item, &QAction::triggered);
        for (const QKeySequence& key : item->shortcuts())
            press(key);
        EXPECT_EQ(fired.count(), enabled ? item->shortcuts().size() : 0)
            << item->text().toStdString();
    }
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
    EXPECT_TRUE(controller->findPanel()->isVisible()) << "Ctrl+F showed the Find bar";
    EXPECT_FALSE(controller->treemap()->isVisible()) << "Ctrl+T hid the map";

    QPointer<HLNFileTreeController> watch(controller.data());
    press(close->shortcut());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(waitFor([&] { return watch.isNull(); }, 2000)) << "the window closed";
}

TEST_F(TreeWindow, ARefreshMayLeaveFewerColumns) {
    for (int i = 0; i < 150; ++i)
        tree.writeFile("file" + std::to_string(i), 4096 * (1 + i % 7));
    tree.mkdir("d1/d2/d3");
    tree.writeFile("d1/d2/d3/deep", 5000000);
    open(tree.path());
    controller->window()->resize(960, 720); // the four columns in sight
    ASSERT_TRUE(waitUntilComplete());
    select({"d1"});
    select({"d2"}, 1);
    select({"d3"}, 2);
    ASSERT_EQ(browser()->lastColumn(), 3);
    browser()->scrollColumnToPosition(0, QPoint(0, 120));
    const QPoint column0 = browser()->scrollPositionOfColumn(0);
    ASSERT_GT(column0.y(), 0);

    ASSERT_EQ(std::system(("rm -rf '" + tree / "d1/d2" + "'").c_str()), 0);
    controller->selectedFiles()[0]->parent()->parent()->refreshSize(); // d1
    ASSERT_TRUE(waitFor([&] { return browser()->lastColumn() == 1; }));
    EXPECT_EQ(browser()->numberOfRowsInColumn(1), 0);
    EXPECT_EQ(selectedNames(), std::vector<std::string>{"d1"});
    EXPECT_EQ(browser()->scrollPositionOfColumn(0), column0);
}

TEST_F(TreeWindow, DestroyIsRefusedWhenADiskIsMountedBeneath) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    tree.writeFile("keep1", 10000);
    tree.writeFile("keep2", 20000);
    const std::string mnt1 = tree.mkdir("vol/mnt");
    const std::string mnt2 = tree.mkdir("other/mnt");
    tree.writeFile("vol/data", 30000);
    ASSERT_EQ(::mount("tmpfs", mnt1.c_str(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_EQ(::mount("tmpfs", mnt2.c_str(), "tmpfs", 0, "size=1m"), 0);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());

    select({"keep1", "vol", "keep2"});
    Panel panel;
    answerNextPanel(panel, "Cancel");
    controller->trashSelection();
    ASSERT_TRUE(panel.seen);
    EXPECT_EQ(panel.text,
              "It's impossible to delete 1 of these files, as other disks are mounted under them.");
    EXPECT_EQ(panel.informative, "Deleting \"vol\" would wipe out some associated disks . You'd "
                                 "hate that. If you really think it's safe "
                                 "to delete this, then unmount the disks and try again, but, "
                                 "honestly, this is almost never a good idea.");
    EXPECT_EQ(panel.buttons, QStringList{"Cancel"});
    QApplication::processEvents();
    for (const char* name : {"keep1", "keep2", "vol/data"})
        EXPECT_TRUE(exists(tree / name)) << name;
    for (const Ref<HLNFile>& f : controller->selectedFiles())
        EXPECT_NE(f->sizeStatus(), SizeStatus::goneOrGoing);

    const std::vector<std::string> order = namesInColumn(0);
    const bool volFirst = std::find(order.begin(), order.end(), "vol") <
                          std::find(order.begin(), order.end(), "other");
    select({"vol", "other"});
    Panel two;
    answerNextPanel(two, "Cancel");
    controller->trashSelection();
    EXPECT_EQ(two.text,
              "It's impossible to delete 2 of these files, as other disks are mounted under them.");
    EXPECT_TRUE(two.informative.startsWith(volFirst ? "Deleting \"vol, other\" would"
                                                    : "Deleting \"other, vol\" would"))
        << two.informative.toStdString();

    // The mount point itself is refused too: a path begins with itself.
    select({"vol"});
    select({"mnt"}, 1);
    Panel itself;
    answerNextPanel(itself, "Cancel");
    controller->trashSelection();
    EXPECT_EQ(itself.text,
              "It's impossible to delete 1 of these files, as other disks are mounted under them.");
    EXPECT_TRUE(itself.informative.startsWith("Deleting \"mnt\" would"));
    EXPECT_TRUE(exists(mnt1));

    ::umount2(mnt1.c_str(), MNT_DETACH);
    ::umount2(mnt2.c_str(), MNT_DETACH);
}

TEST_F(TreeWindow, DestroySeesThroughALinkInTheRootPath) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string mnt = tree.mkdir("real/outer/inner/mnt");
    tree.writeFile("real/outer/inner/data", 30000);
    ASSERT_EQ(::symlink((tree / "real").c_str(), (tree / "link").c_str()), 0);
    ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m"), 0);
    tree.writeFile("real/outer/inner/mnt/on-the-volume", 1000);
    open(tree / "link/./outer/");
    EXPECT_EQ(controller->rootPath(), tree / "link/outer") << "absolute and clean, the link kept";
    ASSERT_TRUE(waitUntilComplete());
    select({"inner"});
    Panel panel;
    answerNextPanel(panel, "Cancel"); // the confirmation, were it not refused, is cancelled too
    controller->trashSelection();
    ASSERT_TRUE(panel.seen);
    EXPECT_EQ(panel.text,
              "It's impossible to delete 1 of these files, as other disks are mounted under them.");
    QApplication::processEvents();
    EXPECT_TRUE(exists(tree / "real/outer/inner/data")) << "nothing at all is deleted";
    EXPECT_TRUE(exists(tree / "real/outer/inner/mnt/on-the-volume"));
    ::umount2(mnt.c_str(), MNT_DETACH);

    // A ".." is resolved by the kernel, not by the spelling.
    EXPECT_EQ(HLNFileTreeController::rootPathForPath(tree / "link/outer/.."), tree / "real");
}

TEST_F(TreeWindow, DestroyConfirmedDeletesEachSelectedFile) {
    tree.writeFile("x", 1000000);
    tree.writeFile("y", 2000000);
    tree.writeFile("z", 3000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    const uint64_t before = controller->rootFile()->sizeSoFar();
    const uint64_t gone = allocated(tree / "x") + allocated(tree / "y");

    select({"x", "y"});
    Panel panel;
    answerNextPanel(panel, "Destroy");
    controller->trashSelection();
    ASSERT_TRUE(panel.seen);
    EXPECT_EQ(panel.text, "Destroy the selected files?");
    EXPECT_EQ(panel.informative,
              "You aren't getting them back, so make sure you really want them gone.");
    EXPECT_EQ(panel.buttons.size(), 2);
    EXPECT_TRUE(panel.buttons.contains("Destroy") && panel.buttons.contains("Cancel"));
    EXPECT_EQ(panel.list, QString("\u201cy\u201d\n\u201cx\u201d\n2 items, ") + bytesText(gone));

    ASSERT_TRUE(waitFor([&] { return !exists(tree / "x") && !exists(tree / "y"); }));
    ASSERT_TRUE(waitFor([&] { return namesInColumn(0) == std::vector<std::string>{"z"}; }));
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_EQ(controller->rootFile()->sizeSoFar(), before - gone);
    EXPECT_EQ(controller->rootFile()->sizeSoFar(), TempTree::duBytes(tree.path()));
}

TEST_F(TreeWindow, DestroyListsWhatItWouldDestroyAndReturnDoesNotConfirm) {
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i)
        names.push_back(tree.writeFile("f" + std::to_string(10 + i), 4096 * (20 - i))
                            .substr(tree.path().size() + 1));
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    select(names);
    // Return on the open question: nothing goes.
    QString list;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_TRUE(box);
        list = box->findChild<QLabel*>("destroyList")->text();
        QTest::keyClick(box, Qt::Key_Return);
    });
    controller->trashSelection();
    waitFor([] { return false; }, 200);
    for (const std::string& name : names)
        EXPECT_TRUE(exists(tree / name)) << name;
    const QStringList lines = list.split('\n');
    ASSERT_EQ(lines.size(), 12);
    EXPECT_EQ(lines[0], "\u201cf10\u201d") << "the largest first, as the column shows them";
    EXPECT_EQ(lines[9], "\u201cf19\u201d");
    EXPECT_EQ(lines[10], "and 2 more");
    uint64_t total = 0;
    for (const std::string& name : names)
        total += allocated(tree / name);
    EXPECT_EQ(lines[11], "12 items, " + bytesText(total));
}

TEST_F(TreeWindow, CancelledDestroyChangesNothing) {
    tree.writeFile("x", 10000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    select({"x"});
    Panel panel;
    answerNextPanel(panel, "Cancel");
    controller->trashSelection();
    ASSERT_TRUE(panel.seen);
    waitFor([] { return false; }, 200);
    EXPECT_TRUE(exists(tree / "x"));
    EXPECT_EQ(controller->selectedFiles().at(0)->sizeStatus(), SizeStatus::complete);
}

TEST_F(TreeWindow, AClosedWindowReleasesItsTreeAndKeepsItsFrame) {
    tree.writeFile("x", 10000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    controller->window()->resize(700, 450);
    QApplication::processEvents();
    // Saved as it changed, not only on close: Quit closes no window.
    const QByteArray saved = QByteArray::fromBase64(QByteArray::fromStdString(
        TFPreference::preferenceForKey(
            HLNFileTreeController::frameKeyForPath(tree.path()).toStdString())
            .stringValue()));
    QWidget probe;
    ASSERT_TRUE(probe.restoreGeometry(saved));
    EXPECT_EQ(probe.size(), QSize(700, 450));
    Ref<HLNFile> root = controller->rootFile();
    close();
    EXPECT_TRUE(root->isInvalidated()) << "the tree is released";
    open(tree.path() + "/");
    EXPECT_EQ(controller->window()->size(), QSize(700, 450)) << "each path keeps its own frame";
}

TEST_F(TreeWindow, WindowsFitTheirScreenAndCascade) {
    tree.writeFile("x", 10000);
    // A frame saved on a larger screen, or before a larger scale factor.
    QWidget big;
    big.setGeometry(3000, 2000, 3000, 2000);
    TFPreference::setString(HLNFileTreeController::frameKeyForPath(tree.path()).toStdString(),
                            big.saveGeometry().toBase64().toStdString());
    open(tree.path());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect frame = controller->window()->geometry();
    EXPECT_TRUE(screen.contains(frame))
        << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
    EXPECT_LE(frame.height() + TFWindowPlacement::kFrameAllowance, screen.height());

    // The same folder again (a hand-over): not exactly on top of the first.
    QPointer<HLNFileTreeController> second = HLNFileTreeController::initWithPath(tree.path());
    ASSERT_TRUE(second);
    EXPECT_NE(second->window()->pos(), controller->window()->pos());
    const QRect next = second->window()->geometry();
    EXPECT_TRUE(screen.contains(next))
        << next.x() << "," << next.y() << " " << next.width() << "x" << next.height() << " in "
        << screen.width() << "x" << screen.height();
    second->window()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(TreeWindow, APathThatCannotBeExaminedOpensNoWindow) {
    const std::string missing = tree / "not-there";
    EXPECT_EQ(HLNFileTreeController::initWithPath(missing), nullptr);
    QMessageBox* told = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            told = box;
    ASSERT_NE(told, nullptr);
    EXPECT_TRUE(told->text().contains(QString::fromStdString(missing)));
    EXPECT_FALSE(told->informativeText().isEmpty());
    told->close();

    // A folder that vanished before it could be opened is reported the same way.
    const std::string vanished = tree.mkdir("brief");
    ::rmdir(vanished.c_str());
    EXPECT_EQ(HLNFileTreeController::initWithPath(vanished), nullptr);
    bool reported = false;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            reported = reported || box->text().contains(QString::fromStdString(vanished));
    EXPECT_TRUE(reported);
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w))
            box->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<QMainWindow*>(w), nullptr);
}

TEST_F(TreeWindow, AFileAsRootShowsItsSizeAndNoRows) {
    const std::string file = tree.writeFile("lonely", 70000);
    open(file);
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_EQ(controller->window()->windowTitle(),
              QString::fromStdString(file) + " - " + bytesText(allocated(file)));
    EXPECT_EQ(browser()->numberOfRowsInColumn(0), 0);
    EXPECT_EQ(browser()->titleOfColumn(0), "lonely");
}

TEST_F(TreeWindow, TheWholeDiskIsTitledByItsVolume) {
    Ref<HLNDrive> drive = HLNDrive::cachedDriveContainingPath("/");
    ASSERT_TRUE(drive);
    controller = HLNFileTreeController::initWithPath("/");
    ASSERT_NE(controller, nullptr);
    // Before the first refresh, which may come with the first events.
    EXPECT_EQ(controller->window()->windowTitle(), "/ (sizing)");
    QApplication::processEvents();
    EXPECT_EQ(controller->rootFileTitle(), QString::fromStdString(drive->displayName()));
    EXPECT_FALSE(controller->rootFileTitle().isEmpty());
    EXPECT_EQ(browser()->titleOfColumn(0), "/");
    HLNFileTreeController::updateUI();
    ASSERT_TRUE(waitFor([&] {
        return controller->window()->windowTitle().startsWith(controller->rootFileTitle() + " - ");
    }));
    controller->window()->showMinimized();
    EXPECT_EQ(controller->window()->windowTitle(), "/");
}

TEST_F(TreeWindow, MoveToTrashIsEnabledLikeDestroyAndTheDeleteKeyMovesWithoutAsking) {
    TrashHome::path();
    TrashHome::empty();
    tree.writeFile("x", 100000);
    tree.writeFile("y", 3000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    QAction* move = controller->actionFor("moveSelectionToTrash");
    EXPECT_FALSE(controller->moveToTrashButton()->isEnabled());
    EXPECT_FALSE(move->isEnabled());
    EXPECT_EQ(move->shortcut(), QKeySequence(Qt::Key_Delete));
    EXPECT_EQ(controller->deleteButton()->parentWidget(),
              controller->moveToTrashButton()->parentWidget());

    select({"x"});
    EXPECT_TRUE(controller->compressButton()->isEnabled());
    EXPECT_TRUE(controller->moveToTrashButton()->isEnabled());
    EXPECT_TRUE(move->isEnabled());
    controller->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller->window()));
    bool asked = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout,
                     [&] { asked = asked || QApplication::activeModalWidget(); });
    watch.start(5);
    QTest::keyClick(browser()->viewOfColumn(0), Qt::Key_Delete);
    ASSERT_TRUE(waitFor([&] { return namesInColumn(0) == std::vector<std::string>{"y"}; }));
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_FALSE(asked) << "no confirmation";
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/x"));
    EXPECT_EQ(controller->rootFile()->sizeSoFar(), TempTree::duBytes(tree.path()));
    EXPECT_FALSE(controller->moveToTrashButton()->isEnabled()) << "the selection went with it";
}

TEST_F(TreeWindow, MoveToTrashSaysWhereItWentAndUndoPutsItBack) {
    TrashHome::path();
    TrashHome::empty();
    tree.mkdir("older");
    tree.writeFile("older/x", 2000); // the trash holds an "x" already
    ASSERT_TRUE(TFTrash::moveToTrash(tree / "older/x").moved);
    tree.writeFile("x", 300000);
    tree.writeFile("y", 30000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    const uint64_t before = controller->rootFile()->sizeSoFar();
    select({"x"});
    controller->moveSelectionToTrash();
    ASSERT_TRUE(waitFor([&] { return controller->undoButton()->isVisible(); }));
    EXPECT_EQ(controller->trashNote()->text(),
              QString("Moved \u201cx\u201d to the Trash (%1).")
                  .arg(QString::fromStdString(TrashHome::trash())));
    EXPECT_FALSE(exists(tree / "x"));
    ASSERT_TRUE(waitFor([&] {
        return namesInColumn(0) == std::vector<std::string>{"y", "older"};
    }));

    controller->undoButton()->click();
    EXPECT_TRUE(exists(tree / "x"));
    EXPECT_EQ(TempTree::lstatOf(tree / "x").st_size, 300000);
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/x")) << "the older x stays in the trash";
    EXPECT_FALSE(exists(TrashHome::trash() + "/info/x.2.trashinfo"));
    EXPECT_FALSE(controller->undoButton()->isVisible());
    EXPECT_EQ(controller->trashNote()->text(), "Put it back from the Trash.");
    // The folder is read again: the row and its bytes are back.
    ASSERT_TRUE(waitFor([&] {
        return namesInColumn(0) == std::vector<std::string>{"x", "y", "older"};
    }));
    ASSERT_TRUE(waitUntilComplete());
    EXPECT_EQ(controller->rootFile()->sizeSoFar(), before);
}

TEST_F(TreeWindow, MoveToTrashIsRefusedOverAMountAndWhatCannotMoveIsOfferedToDestroy) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    TrashHome::path();
    tree.writeFile("keep", 10000);
    const std::string mnt = tree.mkdir("vol");
    ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m"), 0);
    tree.writeFile("vol/a", 20000);
    tree.writeFile("vol/b", 30000);
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    select({"keep", "vol"});
    std::vector<Panel> refusal;
    answerPanels(refusal, {"Cancel"});
    controller->moveSelectionToTrash();
    ASSERT_TRUE(refusal[0].seen);
    EXPECT_EQ(refusal[0].text,
              "It's impossible to delete 1 of these files, as other disks are mounted under them.");
    waitFor([] { return false; }, 200);
    EXPECT_TRUE(exists(tree / "keep"));
    close();

    // The volume itself, browsed, has no trash: one alert names both entries
    // and offers Destroy, which asks Destroy's own question.
    open(mnt);
    ASSERT_TRUE(waitUntilComplete());
    select({"a", "b"});
    std::vector<Panel> panels;
    answerPanels(panels, {"Destroy", "Destroy"});
    controller->moveSelectionToTrash();
    ASSERT_TRUE(waitFor([&] { return panels[1].seen; }));
    EXPECT_EQ(panels[0].text, "2 of these files can't be moved to the Trash.");
    for (const char* name :
         {"\"a\": its disk has no trash that can be used", "\"b\": its disk has no trash"})
        EXPECT_TRUE(panels[0].informative.contains(name)) << panels[0].informative.toStdString();
    EXPECT_TRUE(panels[0].buttons.contains("Destroy") && panels[0].buttons.contains("Cancel"));
    EXPECT_EQ(panels[1].text, "Destroy the selected files?");
    ASSERT_TRUE(waitFor([&] { return !exists(mnt + "/a") && !exists(mnt + "/b"); }));
    ASSERT_TRUE(waitFor([&] { return browser()->numberOfRowsInColumn(0) == 0; }));
    close();
    ::umount2(mnt.c_str(), MNT_DETACH);
}

} // namespace

TEST_F(TreeWindow, CompressAsksFirstThenArchivesOffTheMainThreadAndReadsTheFolderAgain) {
    TrashHome::path();
    TrashHome::empty();
    tree.mkdir("logs");
    {
        std::ofstream out(tree / "logs/a.log");
        for (int i = 0; i < 200000; ++i)
            out << "line " << i << " the request was served\n";
    }
    tree.writeFile("other", 3000);
    if (HLNCompression::plan({tree / "logs"}).front().inPlace)
        GTEST_SKIP() << "the tests' folder is on btrfs, where nothing is archived";
    open(tree.path());
    ASSERT_TRUE(waitUntilComplete());
    select({"logs"});
    ASSERT_TRUE(controller->compressButton()->isEnabled());

    Panel declined;
    answerNextPanel(declined, "Cancel");
    controller->compressSelection();
    ASSERT_TRUE(declined.seen);
    EXPECT_TRUE(declined.buttons.contains("Compress"));
    EXPECT_FALSE(exists(tree / "logs.tar.zst"));

    std::vector<Panel> panels;
    answerPanels(panels, {"Compress", "OK"});
    controller->compressSelection();
    ASSERT_TRUE(waitFor([&] { return panels[1].seen; }));
    EXPECT_EQ(panels[0].text, "Compress the selected files?");
    EXPECT_TRUE(panels[0].informative.contains("\u201clogs.tar.zst\u201d") &&
                panels[0].informative.contains("Trash") &&
                panels[0].informative.contains("Expected saving: about"))
        << panels[0].informative.toStdString();
    EXPECT_TRUE(panels[1].text.startsWith("Saved ")) << panels[1].text.toStdString();
    EXPECT_TRUE(panels[1].informative.contains("logs.tar.zst"));
    EXPECT_TRUE(exists(tree / "logs.tar.zst"));
    EXPECT_FALSE(exists(tree / "logs"));
    ASSERT_TRUE(waitFor([&] {
        const std::vector<std::string> names = namesInColumn(0);
        return std::find(names.begin(), names.end(), "logs.tar.zst") != names.end() &&
               std::find(names.begin(), names.end(), "logs") == names.end();
    }));
}
