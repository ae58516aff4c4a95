#pragma once

// `hollin --package PATH...`: waits for the receipt scan, then prints
// "<PATH>\t<packageNamesForFilename>" for each path.
namespace HLNPackageCommand {
int run(int argc, char** argv);
}
