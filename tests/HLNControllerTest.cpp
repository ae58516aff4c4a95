#include "app/HLNController.h"
#include "support/TempTree.h"
#include "support/TestApplication.h"
#include "toolkit/TFController.h"
#include "toolkit/TFException.h"
#include "toolkit/gui/TAController.h"

#include <QAction>
#include <QByteArrayList>
#include <QEventLoop>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <string>
#include <vector>

QApplication* hollinCreateTestApplication(int& argc, char** argv) {
    return new TAController(argc, argv);
}

namespace {

void drain() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
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
        controller.reset();
        TFController::sharedController().reset();
    }
    std::unique_ptr<HLNController> controller;
    std::vector<std::string> opened;
    std::vector<QString> alerts;
};

TEST_F(HLNControllerTest, LaunchRunsItsStepsInOrder) {
    controller->launch({"/tmp/a", "/tmp/b"});
    const std::vector<std::string> expected = {"didInitialize", "servicesProvider",
                                               "checkMessageOfTheDay", "startedRunning",
                                               "startBackgroundThread", "destroyKeyEquivalent"};
    EXPECT_EQ(controller->launchSteps(), expected);
    EXPECT_EQ(opened, (std::vector<std::string>{"/tmp/a", "/tmp/b"}));
    EXPECT_TRUE(TFController::sharedController().hasInitialized());
    EXPECT_TRUE(TFController::sharedController().isRunning());
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
        if (a->objectName() == "openHome") homeItem = a;
    ASSERT_TRUE(homeItem);
    EXPECT_TRUE(controller->validateUserInterfaceItem(homeItem)); // missing on disk: still enabled
    home.reset();
    controller->openHome();
    EXPECT_TRUE(opened.empty());
    EXPECT_FALSE(controller->validateUserInterfaceItem(homeItem));
    EXPECT_TRUE(controller->validateUserInterfaceItem(&other));
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
    ASSERT_EQ(help->actions().size(), 1);
    EXPECT_EQ(help->actions()[0]->text(), "About Hollin");
    help->actions()[0]->trigger();
    auto* box = qApp->findChild<QMessageBox*>("aboutHollin");
    if (!box)
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == "aboutHollin") box = qobject_cast<QMessageBox*>(w);
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
    QTest::qWait(100);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], "the disk went away");
    EXPECT_TRUE(later);
}

} // namespace
