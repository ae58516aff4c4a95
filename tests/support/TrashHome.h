#pragma once

#include <string>

// A private home folder for the tests that move things to the trash: HOME
// and XDG_DATA_HOME point into one temporary folder for the whole test
// program. GLib keeps the first values it reads, so path() must be called
// before anything is moved (each such test calls it first). It lies beside
// the TempTree folders, on their file system, so their entries go to this
// home trash.
namespace TrashHome {

const std::string& path();
// $XDG_DATA_HOME/Trash, the folder holding files/ and info/.
std::string trash();
// Removes the trash with everything in it.
void empty();

} // namespace TrashHome
