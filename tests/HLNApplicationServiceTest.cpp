#include "app/HLNApplicationService.h"

#include "app/HLNController.h"
#include "app/HLNStartupNotification.h"
#include "toolkit/TFController.h"
#include "toolkit/gui/TAController.h"

#include <QApplication>
#include <gtest/gtest.h>

QApplication* hollinCreateTestApplication(int& argc, char** argv) {
    return new TAController(argc, argv);
}

namespace {

TEST(ApplicationService, FileURIsDecodeByteForByteAndAnythingElseIsRefused) {
    using S = HLNApplicationService;
    EXPECT_EQ(S::pathForFileURI("file:///tmp/caf%E9%20x"), "/tmp/caf\xe9 x");
    EXPECT_EQ(S::pathForFileURI("FILE://localhost/a%2fb/"), "/a/b");
    EXPECT_EQ(S::pathForFileURI("file:///r\u00e9sum\u00e9"), "/r\xc3\xa9sum\xc3\xa9");
    EXPECT_EQ(S::pathForFileURI("file:///"), "/");
    for (const char* bad : {"file://otherhost/x", "http://localhost/x", "/plain/path", "file:",
                            "file:///a%0", "file:///a%zz", "file:///a%00b", "file:///a#frag"})
        EXPECT_EQ(S::pathForFileURI(bad), std::nullopt) << bad;
}

TEST(ApplicationService, OpenHandsEveryLocalURIToTheControllerInOrder) {
    setenv("HOLLIN_NO_MOTD", "1", 1);
    TFController::sharedController().reset();
    HLNController controller;
    std::vector<std::string> opened;
    controller.setPathOpener([&](const std::string& path) { opened.push_back(path); });
    QObject exported;
    HLNApplicationService service(&exported, &controller);
    service.Open({"file:///b%FF", "https://example.invalid/", "file:///a"}, {}, QDBusMessage());
    EXPECT_EQ(opened, (std::vector<std::string>{"/b\xff", "/a"}));
    TFController::sharedController().reset();
}

TEST(StartupNotification, RemoveMessageQuotesTheId) {
    EXPECT_EQ(HLNStartupNotification::removeMessageForStartupId("a b\"c\\d_TIME5"),
              QByteArray("remove: ID=\"a b\\\"c\\\\d_TIME5\""));
}

} // namespace
