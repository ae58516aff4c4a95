#pragma once

// `hollin --compress PATH...`: compresses each path as the window's
// Compress does (in place on btrfs, otherwise into a checked NAME.tar.zst
// with the original moved to the Trash), without a window, and prints what
// each saved. Status 1, with the reasons on standard error, when any path
// could not be compressed; an interrupt cancels, leaving it as it was.
namespace HLNCompressCommand {
int run(int argc, char** argv);
}
