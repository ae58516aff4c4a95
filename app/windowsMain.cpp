// The windows program: the drive list, the browser windows and the session
// bus services, and the treemap command (it draws with Qt Gui). The program
// `hollin` starts it for everything but its own window-less commands, and has
// checked the options and the display by then.
#include "app/HLNApplicationService.h"
#include "app/HLNController.h"
#include "app/HLNServicesProvider.h"
#include "app/HLNTreemapCommand.h"
#include "toolkit/TCCCrashCatcher.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFProcess.h"
#include "toolkit/gui/TAController.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Folders given on the command line become absolute (a running instance
// may have another working folder), taken as every command takes a PATH:
// "docs/" through a link is the folder it names. Bytes are kept as they are.
std::string absolutePath(const std::string& path) {
    return path.empty() ? path : TFPathArgument(path).absolutePath();
}

} // namespace

int main(int argc, char** argv) {
    TFDirectory::reserveDescriptors(); // while no thread runs
    TFProcess::giveBackLargeBlocks();
    TCCCrashCatcher::setCrashEmailAddress("crashes@hollin.io");
    TCCCrashCatcher::enableCrashCatching();

    if (argc >= 2 && std::strcmp(argv[1], "--treemap") == 0)
        return HLNTreemapCommand::run(argc, argv);

    std::vector<std::string> paths;
    bool service = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--service") == 0) {
            service = true;
            continue;
        }
        if (std::strcmp(argv[i], "--") == 0) {
            for (++i; i < argc; ++i)
                paths.push_back(absolutePath(argv[i]));
            break;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "hollin: unknown option %s\n", argv[i]);
            return 2;
        }
        paths.push_back(absolutePath(argv[i]));
    }

    // Read before the application exists: Qt takes the startup id out of
    // the environment as it connects to the display.
    const QVariantMap platformData = HLNApplicationService::platformDataFromEnvironment(
        qgetenv("DESKTOP_STARTUP_ID"), qgetenv("XDG_ACTIVATION_TOKEN"));

    TAController app(argc, argv);
    QCoreApplication::setOrganizationName("Hollin");
    QCoreApplication::setApplicationName("Hollin");
    QGuiApplication::setDesktopFileName("io.hollin.Hollin");
    QGuiApplication::setWindowIcon(
        QIcon::fromTheme("io.hollin.Hollin", QIcon(":/io.hollin.Hollin.svg")));

    if (!service)
        if (std::optional<int> status =
                HLNApplicationService::handOverToRunningInstance(paths, platformData))
            return *status;

    HLNController controller;
    if (!service) {
        controller.launch(paths);
        return app.exec();
    }
    // Started by the session bus: the call that started it says what to open.
    controller.applicationWillFinishLaunching();
    controller.applicationDidFinishLaunching();
    if (!HLNServicesProvider::shared(&controller).registerOnSessionBus()) {
        std::fprintf(stderr, "hollin: could not take the name %s on the session bus\n",
                     HLNServicesProvider::kServiceName);
        return 1;
    }
    // A start whose call opened no window does not linger.
    QTimer::singleShot(30000, &controller, [&controller] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->isVisible())
                return;
        controller.applicationShouldTerminate();
    });
    return app.exec();
}
