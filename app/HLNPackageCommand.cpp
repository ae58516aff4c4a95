#include "app/HLNPackageCommand.h"

#include <cstdio>

namespace HLNPackageCommand {
int run(int, char**) {
    std::fprintf(stderr, "hollin: --package is not available in this build yet\n");
    return 2;
}
} // namespace HLNPackageCommand
