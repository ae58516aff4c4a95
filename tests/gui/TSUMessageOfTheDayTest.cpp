#include "toolkit/gui/TSUMessageOfTheDay.h"
#include "support/TempTree.h"
#include "toolkit/TFPreference.h"

#include <QMessageBox>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace {
class TSUMessageOfTheDayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("HOLLIN_NO_MOTD");
        TFPreference::removeKey(TSUMessageOfTheDay::kShownMessagesKey);
        motd.setMessagePath(file);
    }
    void TearDown() override {
        motd.setMessagePath("");
        if (motd.messageBox())
            delete motd.messageBox();
    }
    void write(const std::string& text) { std::ofstream(file, std::ios::trunc) << text; }

    TempTree tree;
    std::string file = tree / "message-of-the-day.txt";
    TSUMessageOfTheDay& motd = TSUMessageOfTheDay::sharedMessageOfTheDay();
};
} // namespace

TEST_F(TSUMessageOfTheDayTest, EachDistinctTextShowsOnce) {
    write("Hollin 0.2 is out.\n");
    ASSERT_TRUE(motd.checkMessageOfTheDay());
    ASSERT_TRUE(motd.messageBox());
    EXPECT_EQ(motd.messageBox()->text(), "Hollin 0.2 is out.");
    EXPECT_TRUE(motd.messageBox()->isVisible());
    EXPECT_FALSE(motd.messageBox()->isModal()); // a start never waits on it
    delete motd.messageBox();

    EXPECT_FALSE(motd.checkMessageOfTheDay());
    write("  Hollin 0.2 is out.  \n\n"); // same text, other white space
    EXPECT_FALSE(motd.checkMessageOfTheDay());
    write("Hollin 0.3 is out.");
    EXPECT_TRUE(motd.checkMessageOfTheDay());
    delete motd.messageBox();
    write("Hollin 0.2 is out.");
    EXPECT_FALSE(motd.checkMessageOfTheDay()); // remembered, not only the last one
}

TEST_F(TSUMessageOfTheDayTest, NothingShowsWithoutAMessageOrWhenTurnedOff) {
    EXPECT_FALSE(motd.checkMessageOfTheDay()); // no file
    write(" \n\t\n");
    EXPECT_FALSE(motd.checkMessageOfTheDay()); // blank file
    write("News");
    ::setenv("HOLLIN_NO_MOTD", "1", 1);
    EXPECT_FALSE(motd.checkMessageOfTheDay());
    EXPECT_FALSE(motd.messageBox());
    ::unsetenv("HOLLIN_NO_MOTD");
    EXPECT_TRUE(motd.checkMessageOfTheDay()); // not marked shown while turned off
}

TEST_F(TSUMessageOfTheDayTest, NoMessageShipsYet) {
    motd.setMessagePath("");
    EXPECT_FALSE(motd.checkMessageOfTheDay());
}
