#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace TFCommand {

// Runs the program at path with the arguments (no shell), writes data to its
// standard input, and answers everything it wrote to standard output.
// Raises TFException when the program cannot be started, is killed by a
// signal or exits with a non-zero status. Standard error is passed through.
std::string filterDataThroughCommandAtPath(std::string_view data, const std::string& path,
                                           const std::vector<std::string>& arguments);

} // namespace TFCommand
