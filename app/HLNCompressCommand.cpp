#include "app/HLNCompressCommand.h"

#include "app/HLNStandardOutput.h"
#include "model/HLNCompression.h"
#include "toolkit/TFProcess.h"
#include "toolkit/TFString.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

HLNCompression::Progress* running = nullptr;

// An interrupt cancels at the next block: no partial archive stays behind.
void cancel(int) {
    if (running)
        running->control.cancel.store(true);
}

} // namespace

namespace HLNCompressCommand {

int run(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: hollin --compress PATH...\n");
        return 2;
    }
    const std::vector<std::string> paths(argv + 2, argv + argc);
    HLNCompression::Progress progress;
    running = &progress;
    TFProcess::onStopRequest(cancel);
    const HLNCompression::Outcome outcome =
        HLNCompression::run(HLNCompression::plan(paths), progress);
    running = nullptr;
    for (const std::string& line : outcome.done)
        HLNStandardOutput::write(line + "\n");
    for (const std::string& failure : outcome.failures)
        std::fprintf(stderr, "hollin: %s\n", failure.c_str());
    if (outcome.cancelled)
        std::fprintf(stderr, "hollin: cancelled: what was not done yet is as it was\n");
    HLNStandardOutput::write("saved " + std::to_string(outcome.saved) + " bytes (" +
                             TFString::abbreviatedStringForBytes(outcome.saved) + ")" +
                             (outcome.throughTrash ? " once the Trash is emptied" : "") + "\n");
    return HLNStandardOutput::finish() | (outcome.ok() ? 0 : 1);
}

} // namespace HLNCompressCommand
