#include "app/HLNPackageCommand.h"

#include "app/HLNStandardOutput.h"
#include "receipts/HLNPackageReceipt.h"
#include "toolkit/TFPathArgument.h"

#include <cstdio>
#include <string>

namespace HLNPackageCommand {
// argv[1] is "--package"; every later argument is a path, looked up as the
// kernel resolves it ("//", "." and ".." spelt any way name the same file)
// and echoed as given. Needs no display and no application object.
int run(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: hollin --package PATH...\n");
        return 2;
    }
    HLNPackageReceipt::waitUntilScanFinished();
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        const TFPathArgument argument(argv[i]);
        const std::string path = argument.kernelPath();
        if (path.empty()) {
            // Said where it happens, among the lines: the rest still go out.
            HLNStandardOutput::finish();
            if (!argument.reportError())
                TFPathArgument::report(argument.given(), ENOENT);
            status = 1;
            continue;
        }
        HLNStandardOutput::write(argument.given() + "\t" +
                                 HLNPackageReceipt::packageNamesForFilename(path) + "\n");
    }
    return HLNStandardOutput::finish() | status;
}
} // namespace HLNPackageCommand
