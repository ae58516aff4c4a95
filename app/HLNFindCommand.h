#pragma once

// `hollin --largest N PATH`, `hollin --kinds PATH` and `hollin --find PATH
// [filters]`: searches of a tree sized now or read from a scan file, with
// no window.
namespace HLNFindCommand {
int runLargest(int argc, char** argv);
int runKinds(int argc, char** argv);
int runFind(int argc, char** argv);
} // namespace HLNFindCommand
