#include "app/HLNController.h"
#include "app/HLNPackageCommand.h"
#include "app/HLNReportCommand.h"
#include "app/HLNServicesProvider.h"
#include "app/HLNTreemapCommand.h"
#include "toolkit/TCCCrashCatcher.h"
#include "toolkit/gui/TAController.h"

#include <QIcon>
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
    if (path.empty()) return path;
    if (path[0] != '/') {
        std::vector<char> cwd(4096);
        while (!::getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE) return path;
            cwd.resize(cwd.size() * 2);
        }
        std::string base = cwd.data();
        path = (base == "/" ? "" : base) + "/" + path;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

void printUsage() {
    std::printf("usage: hollin [FOLDER...]\n"
                "       hollin --report PATH\n"
                "       hollin --treemap PATH OUTPUT [WIDTHxHEIGHT]\n"
                "       hollin --package PATH...\n");
}

} // namespace

int main(int argc, char** argv) {
    TCCCrashCatcher::setCrashEmailAddress("crashes@hollin.io");
    TCCCrashCatcher::enableCrashCatching();

    if (argc >= 2 && std::strcmp(argv[1], "--report") == 0) return HLNReportCommand::run(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "--treemap") == 0) return HLNTreemapCommand::run(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "--package") == 0)
        return HLNPackageCommand::run(argc, argv);
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage();
        return 0;
    }

    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            for (++i; i < argc; ++i) paths.push_back(absolutePath(argv[i]));
            break;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "hollin: unknown option %s\n", argv[i]);
            printUsage();
            return 2;
        }
        paths.push_back(absolutePath(argv[i]));
    }

    if (!haveDisplay()) {
        std::fprintf(stderr, "hollin: no display available (use hollin --report PATH for a text report)\n");
        return 1;
    }

    TAController app(argc, argv);
    QCoreApplication::setOrganizationName("Hollin");
    QCoreApplication::setApplicationName("Hollin");
    QGuiApplication::setDesktopFileName("io.hollin.Hollin");
    QGuiApplication::setWindowIcon(QIcon::fromTheme("io.hollin.Hollin", QIcon(":/io.hollin.Hollin.svg")));

    if (std::optional<int> status = HLNServicesProvider::handOverToRunningInstance(paths))
        return *status;

    HLNController controller;
    controller.launch(paths);
    return app.exec();
}
