#include "app/HLNReportCommand.h"

#include <cstdio>

namespace HLNReportCommand {
int run(int, char**) {
    std::fprintf(stderr, "hollin: --report is not available in this build yet\n");
    return 2;
}
} // namespace HLNReportCommand
