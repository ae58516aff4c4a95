#pragma once

// `hollin --report --shared PATH`: the report's lines, each with what the
// entry holds alone and what it shares with copies or snapshots, on file
// systems that share blocks between files (btrfs, XFS with reflinks):
// "<disk usage>\t<exclusive>\t<shared>\t<counted once>\t<path>", where
// counted once holds each block shared between files inside the entry once.
namespace HLNSharedSpaceCommand {
int run(int argc, char** argv);
}
