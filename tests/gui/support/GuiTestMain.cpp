// Every window test program runs inside an offscreen QApplication so that
// queued main-thread calls, widgets and settings work as in the program.
// Settings go to a private temporary folder, never to the user's.
#include <QApplication>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

#include "support/TestApplication.h"

// A test program that needs its own application class (a QApplication
// subclass) defines this function; the weak default makes a QApplication.
__attribute__((weak)) QApplication* hollinCreateTestApplication(int& argc, char** argv) {
    return new QApplication(argc, argv);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    setenv("XDG_STATE_HOME", config.path().toLocal8Bit().constData(), 1);
    setenv("XDG_DATA_HOME", config.path().toLocal8Bit().constData(), 1); // the scan history
    std::unique_ptr<QApplication> app(hollinCreateTestApplication(argc, argv));
    return RUN_ALL_TESTS();
}
