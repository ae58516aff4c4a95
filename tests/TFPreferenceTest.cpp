#include "toolkit/TFPreference.h"

#include <QFile>
#include <QSettings>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

TEST(TFPreference, AbsentReadsFalseAndValuesRoundTrip) {
    EXPECT_FALSE(TFPreference::preferenceForKey("DebugDriveList").exists());
    EXPECT_FALSE(TFPreference::preferenceForKey("DebugDriveList").boolValue());
    TFPreference::setBool("DebugDriveList", true);
    EXPECT_TRUE(TFPreference::preferenceForKey("DebugDriveList").boolValue());
    TFPreference::setBool("DebugDriveList", false);
    EXPECT_TRUE(TFPreference::preferenceForKey("DebugDriveList").exists());
    EXPECT_FALSE(TFPreference::preferenceForKey("DebugDriveList").boolValue());
    TFPreference::removeKey("DebugDriveList");
    EXPECT_FALSE(TFPreference::preferenceForKey("DebugDriveList").exists());

    TFPreference::setString("Text", "caf\xC3\xA9 = [x]; y");
    EXPECT_EQ(TFPreference::preferenceForKey("Text").stringValue(), "caf\xC3\xA9 = [x]; y");
}

TEST(TFPreference, RegisteredDefaultsAnswerUntilTheUserSetsAValue) {
    TFPreference::registerDefaults(
        {{"HLNSmallFileColor", "#00ff00"}, {"DebugPackageScanning", "true"}});
    TFPreference::registerDefaults({{"HLNSmallFileColor", "#ff0000"}}); // first default stays
    EXPECT_EQ(TFPreference::preferenceForKey("HLNSmallFileColor").stringValue(), "#00ff00");
    EXPECT_TRUE(TFPreference::preferenceForKey("DebugPackageScanning").boolValue());
    TFPreference::setBool("DebugPackageScanning", false);
    EXPECT_FALSE(TFPreference::preferenceForKey("DebugPackageScanning").boolValue());
    TFPreference::removeKey("DebugPackageScanning");
    EXPECT_TRUE(TFPreference::preferenceForKey("DebugPackageScanning").boolValue());
}

TEST(TFPreference, StoredInTheConfigFolderAndVisibleAcrossThreads) {
    std::thread([] { TFPreference::setBool("FromWorker", true); }).join();
    EXPECT_TRUE(TFPreference::preferenceForKey("FromWorker").boolValue());
    QString file = QString::fromLocal8Bit(std::getenv("XDG_CONFIG_HOME")) + "/Hollin/Hollin.ini";
    ASSERT_TRUE(QFile::exists(file)) << file.toStdString();
    QSettings direct(file, QSettings::IniFormat);
    EXPECT_EQ(direct.value("FromWorker").toString(), "true");
}
