// The model, receipts, drives and toolkit tests run inside a QCoreApplication,
// with no window system at all, so that queued main-thread calls and settings
// work as in the program and nothing below the windows can lean on a widget.
// Settings go to a private temporary folder, never to the user's.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    setenv("XDG_STATE_HOME", config.path().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
