#pragma once

#include <cstddef>
#include <string_view>

// The process's standard streams as the commands use them: all of a buffer
// written to standard output, and whether standard error is a terminal and
// how wide. Any thread.
namespace TFStandardStreams {

// Writes all of bytes to standard output, going on after a signal
// interrupts a write; answers 0 or the errno of the write that failed.
int writeToStandardOutput(std::string_view bytes);

// Whether standard error is a terminal (a progress line may be rewritten there).
bool standardErrorIsTerminal();

// The columns of the terminal on standard error; 80 when it does not say.
size_t standardErrorWidth();

} // namespace TFStandardStreams
