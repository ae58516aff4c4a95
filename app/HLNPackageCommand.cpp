#include "app/HLNPackageCommand.h"

#include "receipts/HLNPackageReceipt.h"

#include <cstdio>
#include <string>

namespace HLNPackageCommand {
// argv[1] is "--package"; every later argument is a path, looked up exactly
// as given. Needs no display and no application object.
int run(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: hollin --package PATH...\n");
        return 2;
    }
    HLNPackageReceipt::waitUntilScanFinished();
    for (int i = 2; i < argc; ++i) {
        std::string path = argv[i];
        std::string line = path + "\t" + HLNPackageReceipt::packageNamesForFilename(path) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
} // namespace HLNPackageCommand
