#include "app/HLNUnseenCommand.h"

#include "app/HLNStandardOutput.h"
#include "drives/HLNUnseenSpace.h"

#include <cstdio>
#include <string>

namespace {

void writeLine(uint64_t bytes, const std::string& category, const std::string& detail) {
    // Raw bytes: names that are not text are printed exactly as on disk.
    HLNStandardOutput::write(std::to_string(bytes) + "\t" + category + "\t" + detail + "\n");
}

} // namespace

namespace HLNUnseenCommand {

int run(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hollin --unseen MOUNT\n");
        return 2;
    }
    const std::string mount = argv[2];
    std::string error;
    const std::optional<HLNUnseenSpace::Account> account =
        HLNUnseenSpace::accountForMount(mount, {}, &error);
    if (!account) {
        std::fprintf(stderr, "hollin: %s: %s\n", mount.c_str(), error.c_str());
        return 1;
    }
    // What was left out, on standard error so that the lines stay as they are.
    if (!account->everyProcess)
        std::fprintf(stderr, "hollin: only your own processes were read; run as administrator "
                             "to read every process\n");
    if (!account->unreadableFolders.empty())
        std::fprintf(stderr,
                     "hollin: %zu folders could not be read; running as administrator would "
                     "count them\n",
                     account->unreadableFolders.size());
    for (const HLNUnseenSpace::Line& line : account->lines())
        writeLine(line.bytes, line.category, line.detail);
    writeLine(account->size, "total", account->mountPoint);
    return HLNStandardOutput::finish();
}

} // namespace HLNUnseenCommand
