#include "toolkit/TFController.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {
class TFControllerTest : public ::testing::Test {
protected:
    void SetUp() override { TFController::sharedController().reset(); }
    void TearDown() override { TFController::sharedController().reset(); }
    TFController& controller = TFController::sharedController();
};
} // namespace

TEST_F(TFControllerTest, LifecycleStates) {
    EXPECT_EQ(&TFController::sharedController(), &controller);
    EXPECT_FALSE(controller.hasInitialized());
    controller.didInitialize();
    EXPECT_TRUE(controller.hasInitialized());
    EXPECT_FALSE(controller.isRunning());
    controller.startedRunning();
    EXPECT_TRUE(controller.isRunning());
    EXPECT_EQ(controller.requestTermination(), TFController::TerminateNow); // nobody objects
    EXPECT_EQ(TFController::TerminateCancel, 0);
    EXPECT_EQ(TFController::TerminateNow, 1);
    EXPECT_EQ(TFController::TerminateLater, 2);
}

TEST_F(TFControllerTest, CancelWinsAndStopsAsking) {
    std::vector<std::string> asked;
    int a = 0, b = 0, c = 0;
    controller.addTerminationHandler(&a, [&] {
        asked.push_back("later");
        return TFController::TerminateLater;
    });
    controller.addTerminationHandler(&b, [&] {
        asked.push_back("cancel");
        return TFController::TerminateCancel;
    });
    controller.addTerminationHandler(&c, [&] {
        asked.push_back("now");
        return TFController::TerminateNow;
    });
    EXPECT_EQ(controller.requestTermination(), TFController::TerminateCancel);
    EXPECT_EQ(asked, (std::vector<std::string>{"later", "cancel"}));
    EXPECT_FALSE(controller.terminationPending());
    EXPECT_FALSE(controller.isTerminating());

    controller.removeOwner(&b);
    EXPECT_EQ(controller.requestTermination(), TFController::TerminateLater);
    EXPECT_TRUE(controller.terminationPending());
}

TEST_F(TFControllerTest, LaterEndsInTerminationOrIsTakenBack) {
    int owner = 0;
    int willTerminate = 0, completed = 0;
    controller.addTerminationHandler(&owner, [] { return TFController::TerminateLater; });
    controller.addWillTerminateObserver(&owner, [&] { ++willTerminate; });
    controller.setTerminationCompletion([&] { ++completed; });

    EXPECT_EQ(controller.requestTermination(), TFController::TerminateLater);
    EXPECT_EQ(willTerminate, 0); // not while the answer is still open
    controller.replyToTerminationRequest(false);
    EXPECT_FALSE(controller.terminationPending());
    EXPECT_EQ(willTerminate, 0);
    EXPECT_EQ(completed, 0);

    EXPECT_EQ(controller.requestTermination(), TFController::TerminateLater);
    controller.replyToTerminationRequest(true);
    EXPECT_EQ(willTerminate, 1);
    EXPECT_EQ(completed, 1);
    EXPECT_TRUE(controller.isTerminating());
    // A stray reply or a second willTerminate changes nothing.
    controller.replyToTerminationRequest(true);
    controller.willTerminate();
    EXPECT_EQ(willTerminate, 1);
    EXPECT_EQ(completed, 1);
}
