#pragma once

// `hollin --export FILE PATH`: writes a scan of PATH to FILE ("-" for the
// standard output) as the walk goes, with no window.
namespace HLNExportCommand {
int run(int argc, char** argv);
}
