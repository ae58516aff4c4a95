#include "app/HLNController.h"
#include "drives/HLNDrive.h"
#include "drives/gui/HLNDriveListController.h"
#include "model/HLNBackgroundFileSizer.h"
#include "support/TempTree.h"
#include "support/TestApplication.h"
#include "toolkit/TFController.h"
#include "toolkit/TFException.h"
#include "toolkit/gui/TAController.h"

#include <QAction>
#include <QByteArrayList>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEventLoop>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <string>
#include <vector>

QApplication* hollinCreateTestApplication(int& argc, char** argv) {
    return new TAController(argc, argv);
}

namespace {

void drain() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

class HLNControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOLLIN_NO_MOTD", "1", 1);
        TFController::sharedController().reset();
        controller = std::make_unique<HLNController>();
        controller->setPathOpener([this](const std::string& p) { opened.push_back(p); });
        controller->setAlertPresenter([this](const QString& m) { alerts.push_back(m); });
    }
    void TearDown() override {
        HLNDrive::setMountTableReader(nullptr);
        controller.reset();
        TFController::sharedController().reset();
    }
    std::unique_ptr<HLNController> controller;
    std::vector<std::string> opened;
    std::vector<QString> alerts;
};

TEST_F(HLNControllerTest, LaunchOpensThePathsAndStartsEverything) {
    controller->launch({"/tmp/a", "/tmp/b"});
    EXPECT_EQ(opened, (std::vector<std::string>{"/tmp/a", "/tmp/b"}));
    EXPECT_TRUE(TFController::sharedController().hasInitialized());
    EXPECT_TRUE(TFController::sharedController().isRunning());
    // The sizing thread runs, and the service answers where there is a bus.
    EXPECT_TRUE(
        QTest::qWaitFor([] { return HLNBackgroundFileSizer::sizingThreadId() != 0; }, 5000));
    if (QDBusConnection::sessionBus().isConnected()) {
        EXPECT_TRUE(QDBusConnection::sessionBus()
                        .interface()
                        ->isServiceRegistered("io.hollin.Hollin")
                        .value());
    }
}

TEST_F(HLNControllerTest, DestroyIsCtrlBackspaceAfterLaunchWhateverTheWindowSaid) {
    QMainWindow before;
    auto* early = new QAction("Destroy", &before);
    early->setObjectName("trashSelection");
    early->setShortcut(QKeySequence("Ctrl+K"));
    before.show();
    EXPECT_EQ(early->shortcut(), QKeySequence("Ctrl+K")); // not before launch

    controller->launch({"/x"});
    EXPECT_EQ(early->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Backspace));

    QMainWindow window;
    int trashed = 0;
    auto* trash = new QAction("Destroy", &window);
    trash->setObjectName("trashSelection");
    trash->setShortcut(QKeySequence("Ctrl+K"));
    window.addAction(trash);
    QObject::connect(trash, &QAction::triggered, [&] { ++trashed; });
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    // The application's menu was added to the window as it was shown.
    ASSERT_FALSE(window.menuBar()->actions().isEmpty());
    EXPECT_EQ(window.menuBar()->actions().first()->text(), "&Hollin");
    QTest::keyClick(&window, Qt::Key_Backspace, Qt::ControlModifier);
    EXPECT_EQ(trashed, 1);
}

TEST_F(HLNControllerTest, OpenResolvesLinksAndKeepsPanelOrder) {
    TempTree tree;
    tree.mkdir("one");
    tree.mkdir("two");
    tree.mkdir("three");
    tree.symlink(tree / "two", "link-to-two");
    controller->setOpenPanelRunner([&] {
        return std::optional<QStringList>(QStringList{QString::fromStdString(tree / "three"),
                                                      QString::fromStdString(tree / "link-to-two"),
                                                      QString::fromStdString(tree / "one")});
    });
    controller->open();
    EXPECT_EQ(opened, (std::vector<std::string>{tree / "three", tree / "two", tree / "one"}));

    opened.clear();
    controller->setOpenPanelRunner([] { return std::optional<QStringList>(); });
    controller->open(); // cancelled
    EXPECT_TRUE(opened.empty());
}

TEST_F(HLNControllerTest, HomeKeepsItsUnresolvedPathAndNeedsToExist) {
    TempTree tree;
    tree.mkdir("real-home");
    tree.symlink(tree / "real-home", "home");
    std::optional<std::string> home = tree / "home";
    controller->setHomeDirectoryProvider([&] { return home; });
    controller->openHome();
    EXPECT_EQ(opened, (std::vector<std::string>{tree / "home"}));

    opened.clear();
    home = tree / "missing";
    controller->openHome();
    EXPECT_TRUE(opened.empty());

    QAction other("other");
    QMainWindow window;
    controller->installMainMenu(&window);
    QAction* homeItem = nullptr;
    for (QAction* a : window.menuBar()->actions().first()->menu()->actions())
        if (a->objectName() == "openHome")
            homeItem = a;
    ASSERT_TRUE(homeItem);
    EXPECT_TRUE(controller->validateUserInterfaceItem(homeItem)); // missing on disk: still enabled
    home.reset();
    controller->openHome();
    EXPECT_TRUE(opened.empty());
    EXPECT_FALSE(controller->validateUserInterfaceItem(homeItem));
    EXPECT_TRUE(controller->validateUserInterfaceItem(&other));
}

TEST_F(HLNControllerTest, TheDriveListOpensWindowsTheWayTheControllerDoes) {
    TempTree tree;
    tree.mkdir("folder");
    tree.writeFile("folder/file", 5000);
    const std::string mountPoint = tree.path();
    HLNDrive::setMountTableReader([mountPoint]() -> std::optional<std::vector<HLNMountRecord>> {
        HLNMountRecord r;
        r.f_bsize = 4096;
        r.f_blocks = 1000;
        r.f_bfree = r.f_bavail = 400;
        r.f_fstypename = "ext4";
        r.f_mntonname = mountPoint;
        r.f_mntfromname = "/dev/hollin-none";
        return std::vector<HLNMountRecord>{r};
    });
    controller->openDriveList();
    HLNDriveListController* list = HLNDriveListController::sharedInstance();
    list->updateDrives();
    ASSERT_EQ(list->driveListOutlineView()->topLevelItemCount(), 1);
    list->driveListOutlineView()->topLevelItem(0)->setSelected(true);
    list->sweepButton()->click();
    EXPECT_EQ(opened, (std::vector<std::string>{mountPoint})); // through the controller's own seam

    // Without the seam, the controller's real opener makes a browser window.
    controller->setPathOpener(nullptr);
    auto browserWindows = [list] {
        std::vector<QMainWindow*> found;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* main = qobject_cast<QMainWindow*>(w);
                main && main->isVisible() && main != list->window())
                found.push_back(main);
        return found;
    };
    ASSERT_TRUE(browserWindows().empty());
    // The drive list carries the application's menus, as every window does.
    EXPECT_TRUE(
        qobject_cast<QMainWindow*>(list->window())->menuBar()->property("hollinMainMenu").toBool());
    list->sweepButton()->click();
    auto windows = browserWindows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_TRUE(windows[0]->windowTitle().startsWith(QString::fromStdString(mountPoint)))
        << windows[0]->windowTitle().toStdString();
    windows[0]->close();
    list->window()->hide();
    drain();
}

TEST_F(HLNControllerTest, ServiceTakesAStringAListOrBytesAndRefusesAnythingElse) {
    QString error;
    QVariantMap one{{HLNController::kFilenamesPboardType, QString("/srv/one")}};
    EXPECT_TRUE(controller->serviceSizeFilesOnPasteboard(one, {}, &error));
    EXPECT_EQ(opened, (std::vector<std::string>{"/srv/one"}));
    EXPECT_TRUE(error.isEmpty());

    opened.clear();
    QVariantMap two{{HLNController::kFilenamesPboardType, QStringList{"/srv/a", "/srv/b"}}};
    EXPECT_TRUE(controller->serviceSizeFilesOnPasteboard(two, {}, &error));
    EXPECT_EQ(opened, (std::vector<std::string>{"/srv/a", "/srv/b"}));

    opened.clear();
    QVariantMap none{{HLNController::kFilenamesPboardType, QStringList{}}};
    EXPECT_TRUE(controller->serviceSizeFilesOnPasteboard(none, {}, &error));
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(error.isEmpty());

    // Names that are not UTF-8 arrive as bytes and keep them.
    QVariantMap bytes{{HLNController::kFilenamesPboardType,
                       QVariant::fromValue(QByteArrayList{QByteArray("/srv/caf\xE9")})}};
    EXPECT_TRUE(controller->serviceSizeFilesOnPasteboard(bytes, {}, &error));
    EXPECT_EQ(opened, (std::vector<std::string>{"/srv/caf\xE9"}));

    opened.clear();
    QVariantMap textOnly{{"text", QString("/srv/one")}};
    EXPECT_FALSE(controller->serviceSizeFilesOnPasteboard(textOnly, {}, &error));
    EXPECT_EQ(error, "Error: couldn't size file.");
    error.clear();
    QVariantMap number{{HLNController::kFilenamesPboardType, 42}};
    EXPECT_FALSE(controller->serviceSizeFilesOnPasteboard(number, {}, &error));
    EXPECT_EQ(error, "Error: couldn't size file.");
    EXPECT_TRUE(opened.empty());
}

TEST_F(HLNControllerTest, HelpMenuEndsTheMenuBarAndTellsTheVersion) {
    QMainWindow window;
    window.menuBar()->addMenu("&Selection");
    controller->installMainMenu(&window);
    QMenu* help = window.menuBar()->actions().last()->menu();
    ASSERT_TRUE(help);
    EXPECT_EQ(help->title(), "&Help");
    ASSERT_EQ(help->actions().size(), 2);
    EXPECT_EQ(help->actions()[0]->text(), "Keyboard Shortcuts");
    EXPECT_EQ(help->actions()[1]->text(), "About Hollin");

    // The shortcuts are read from the window's own menus.
    QMenu* selection = window.menuBar()->actions().at(1)->menu();
    ASSERT_EQ(selection->title(), "&Selection");
    selection->addAction("&Move to Trash")->setShortcut(QKeySequence(Qt::Key_Delete));
    selection->addAction("No key");
    window.show();
    QApplication::setActiveWindow(&window);
    help->actions()[0]->trigger();
    QMessageBox* keys = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "keyboardShortcuts" && w->isVisible())
            keys = qobject_cast<QMessageBox*>(w);
    ASSERT_TRUE(keys);
    EXPECT_TRUE(keys->text().contains("Selection \u203a Move to Trash</td><td>&nbsp;&nbsp;<b>Del"))
        << keys->text().toStdString();
    EXPECT_TRUE(keys->text().contains("Hollin \u203a Open Home Folder"));
    EXPECT_FALSE(keys->text().contains("No key"));
    keys->close();

    help->actions()[1]->trigger();
    auto* box = qApp->findChild<QMessageBox*>("aboutHollin");
    if (!box)
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == "aboutHollin")
                box = qobject_cast<QMessageBox*>(w);
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->text().contains("Hollin " HOLLIN_VERSION));
    EXPECT_TRUE(box->text().contains("General Public License"));
    box->close();
}

TEST_F(HLNControllerTest, TerminationNowCancelOrLater) {
    auto& toolkit = TFController::sharedController();
    TFController::TerminateReply answer = TFController::TerminateCancel;
    toolkit.addTerminationHandler(this, [&] { return answer; });
    int quits = 0;
    toolkit.setTerminationCompletion([&] { ++quits; });

    EXPECT_EQ(controller->applicationShouldTerminate(), TFController::TerminateCancel);
    EXPECT_FALSE(toolkit.isTerminating());

    answer = TFController::TerminateLater;
    EXPECT_EQ(controller->applicationShouldTerminate(), TFController::TerminateLater);
    EXPECT_FALSE(toolkit.isTerminating()); // willTerminate not sent yet
    toolkit.replyToTerminationRequest(true);
    EXPECT_TRUE(toolkit.isTerminating());
    EXPECT_EQ(quits, 1);

    toolkit.reset();
    toolkit.addTerminationHandler(this, [] { return TFController::TerminateNow; });
    EXPECT_EQ(controller->applicationShouldTerminate(), TFController::TerminateNow);
    EXPECT_TRUE(toolkit.isTerminating());
    drain(); // the quit request reaches no running loop here
}

TEST_F(HLNControllerTest, EscapedExceptionIsReportedAndTheLoopGoesOn) {
    bool later = false;
    QTimer::singleShot(0, [] { throw TFException("the disk went away"); });
    QTimer::singleShot(10, [&] { later = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return later; }, 30000));
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], "the disk went away");
    EXPECT_TRUE(later);

    // A failure while a report is open is not stacked inside its modal loop.
    controller->setAlertPresenter(nullptr);
    int reports = 0, nested = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (box->objectName() == "exceptionReport" && !box->property("counted").toBool()) {
            box->setProperty("counted", true);
            ++reports;
        }
        if (nested++ < 3)
            throw TFException("failing again"); // escapes to the loop, inside the report
        box->close();
    });
    poll.start(10);
    QTimer::singleShot(0, [] { throw TFException("the disk went away"); });
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return nested >= 4 && QApplication::activeModalWidget() == nullptr; }, 30000));
    poll.stop();
    EXPECT_EQ(reports, 1);
    EXPECT_GE(nested, 4);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
