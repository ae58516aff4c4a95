#include "toolkit/gui/TAController.h"
#include "support/TestApplication.h"
#include "toolkit/TFException.h"

#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>
#include <string>
#include <vector>

QApplication* hollinCreateTestApplication(int& argc, char** argv) {
    return new TAController(argc, argv);
}

namespace {

struct RecordingDelegate : TAControllerDelegate {
    std::vector<std::string> reasons;
    void handleRunException(const std::string& reason) override { reasons.push_back(reason); }
};

class ThrowingWidget : public QWidget {
protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("widget failed");
        return QWidget::event(e);
    }
};

void drain() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

class TAControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TAController::sharedApplication());
        TAController::sharedApplication()->setDelegate(&delegate);
    }
    void TearDown() override { TAController::sharedApplication()->setDelegate(nullptr); }
    RecordingDelegate delegate;
};

} // namespace

TEST_F(TAControllerTest, ExceptionsFromQueuedCallsReachTheDelegateAndTheLoopGoesOn) {
    bool after = false;
    QObject target;
    QMetaObject::invokeMethod(
        &target, [] { throw TFException("Couldn't read the tree."); }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        &target, [] { throw 42; }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        &target, [&] { after = true; }, Qt::QueuedConnection);
    drain();
    EXPECT_EQ(delegate.reasons, (std::vector<std::string>{"Couldn't read the tree.",
                                                          "An unknown exception occurred."}));
    EXPECT_TRUE(after);
}

TEST_F(TAControllerTest, ExceptionsFromWidgetsAndNestedLoopsAreCaught) {
    ThrowingWidget widget;
    QEvent event(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&widget, &event));
    ASSERT_EQ(delegate.reasons.size(), 1u);
    EXPECT_EQ(delegate.reasons[0], "widget failed");

    // A modal-style inner loop keeps running after its event failed.
    QEventLoop inner;
    QTimer::singleShot(0, [] { throw std::logic_error("inner"); });
    QTimer::singleShot(10, &inner, &QEventLoop::quit);
    inner.exec();
    ASSERT_EQ(delegate.reasons.size(), 2u);
    EXPECT_EQ(delegate.reasons[1], "inner");
}

TEST_F(TAControllerTest, WithoutDelegateTheReasonIsLogged) {
    TAController::sharedApplication()->setDelegate(nullptr);
    testing::internal::CaptureStderr();
    QObject target;
    QMetaObject::invokeMethod(
        &target, [] { throw std::runtime_error("logged reason"); }, Qt::QueuedConnection);
    drain();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("logged reason"), std::string::npos);
}
