#include "app/HLNPackageCommand.h"
#include "app/HLNReportCommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--report") == 0) return HLNReportCommand::run(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "--package") == 0)
        return HLNPackageCommand::run(argc, argv);

    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!(display && *display) && !(wayland && *wayland) && !(platform && *platform)) {
        std::fprintf(stderr, "hollin: no display available (use hollin --report PATH for a text report)\n");
        return 1;
    }
    std::fprintf(stderr, "hollin: the windows are not available in this build yet\n");
    return 1;
}
