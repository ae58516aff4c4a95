#pragma once

#include "model/HLNFile.h"

#include <string>

// The scan history from the command line: `hollin --history PATH` lists
// the records of PATH, `hollin --diff OLD NEW [--depth N]` prints what
// changed between two trees (records, scans or folders sized now), and
// `hollin --report --record PATH` keeps a record of the tree it reported.
namespace HLNHistoryCommand {
int runHistory(int argc, char** argv);
int runDiff(int argc, char** argv);
// Saves a record of the sized tree given as path; false, said on standard
// error, when it could not be kept.
bool record(const Ref<HLNFile>& root, const std::string& path);
} // namespace HLNHistoryCommand
