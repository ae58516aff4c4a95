#include "app/HLNApplicationService.h"
#include "app/HLNController.h"
#include "app/HLNExportCommand.h"
#include "app/HLNPackageCommand.h"
#include "app/HLNReportCommand.h"
#include "app/HLNServicesProvider.h"
#include "app/HLNTreemapCommand.h"
#include "toolkit/TCCCrashCatcher.h"
#include "toolkit/gui/TAController.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Folders given on the command line become absolute (a running instance
// may have another working folder); their bytes are kept as they are.
std::string absolutePath(std::string path) {
    if (path.empty())
        return path;
    if (path[0] != '/') {
        std::vector<char> cwd(4096);
        while (!::getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE)
                return path;
            cwd.resize(cwd.size() * 2);
        }
        std::string base = cwd.data();
        path = (base == "/" ? "" : base) + "/" + path;
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

void printUsage(FILE* to) {
    std::fprintf(to, "usage: hollin [FOLDER|SCAN...]\n"
                     "       hollin --report PATH|SCAN\n"
                     "       hollin --export FILE PATH\n"
                     "       hollin --treemap PATH OUTPUT [WIDTHxHEIGHT]\n"
                     "       hollin --package PATH...\n"
                     "       hollin --service | --version | --help\n");
}

void printHelp() {
    printUsage(stdout);
    std::printf(
        "\nShows where the space on your disks has gone.\n\n"
        "  FOLDER...          open a browser window on each folder; with none, the drive list.\n"
        "                     While Hollin runs, the folders go to the running instance.\n"
        "  SCAN...            open a browser window on each scan file (as --export or\n"
        "                     ncdu -o write them), recognised by its content\n"
        "  --report PATH      size PATH without a window; print \"<bytes>\\t<path>\" per entry\n"
        "                     (a scan file prints the report of the folder it was made of)\n"
        "  --export FILE PATH write a scan of PATH to FILE (- for standard output) in the\n"
        "                     ncdu JSON export format, to browse it on another machine\n"
        "  --treemap PATH OUTPUT [WIDTHxHEIGHT]\n"
        "                     size PATH without a window and draw its treemap to OUTPUT,\n"
        "                     a .png or an .svg (1600x1000 unless a size is given)\n"
        "  --package PATH...  print \"<PATH>\\t<package text>\" for each path\n"
        "  --service          wait for requests on the session bus and open nothing yet\n"
        "                     (how the bus starts Hollin for the desktop)\n"
        "  --version          print the version and exit\n"
        "  -h, --help         print this help and exit\n"
        "  --                 every later argument is a folder\n");
}

} // namespace

int main(int argc, char** argv) {
    TCCCrashCatcher::setCrashEmailAddress("crashes@hollin.io");
    TCCCrashCatcher::enableCrashCatching();

    if (argc >= 2 && std::strcmp(argv[1], "--report") == 0)
        return HLNReportCommand::run(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "--export") == 0)
        return HLNExportCommand::run(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "--treemap") == 0)
        return HLNTreemapCommand::run(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "--package") == 0)
        return HLNPackageCommand::run(argc, argv);
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printHelp();
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("hollin %s\n", HOLLIN_VERSION);
        return 0;
    }

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
            printUsage(stderr);
            return 2;
        }
        paths.push_back(absolutePath(argv[i]));
    }

    if (!haveDisplay()) {
        std::fprintf(stderr,
                     "hollin: no display available (use hollin --report PATH for a text report)\n");
        return 1;
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
