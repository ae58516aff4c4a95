#pragma once

// `hollin --report PATH`: sizes PATH with the model and the sizing thread,
// with no window, and prints du-style lines.
namespace HLNReportCommand {
int run(int argc, char** argv);
}
