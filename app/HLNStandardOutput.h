#pragma once

#include <initializer_list>
#include <string_view>

// What the commands print on standard output, written through one buffer
// whose every write is checked: a full disk or a closed pipe is said once,
// as "hollin: standard output: <reason>", and makes the command fail,
// instead of going unnoticed at exit.
namespace HLNStandardOutput {

// Appends bytes; they are written when the buffer fills and at finish().
void write(std::string_view bytes);
// One line of fields separated by tabs, raw bytes (names exactly as on disk).
void writeFields(std::initializer_list<std::string_view> fields);
// Writes what is left. Answers 0, or 1 after saying why the output could
// not be written (once, whenever it failed).
int finish();

} // namespace HLNStandardOutput
