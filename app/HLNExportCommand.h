#pragma once

// `hollin --export FILE PATH`: writes a scan of PATH to FILE ("-" for the
// standard output) as the walk goes, with no window.
#include <cstdint>
#include <string>

namespace HLNExportCommand {
int run(int argc, char** argv);
// The progress line's figures: "12,345 items, 1.2 GB".
std::string progressText(uint64_t entries, uint64_t bytes);
} // namespace HLNExportCommand
