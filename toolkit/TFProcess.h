#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>

// This process and the programs it starts: the program file it runs, its
// working folder, the home folder of the user it runs as, a handler for
// being asked to stop, starting a program beside it or in its place, and
// collecting one that ended, the numbers of its threads, and memory it is
// done with. Any thread.
namespace TFProcess {

// The path of the program file this process runs (/proc/self/exe); none
// when the kernel does not say.
std::optional<std::string> programPath();

// The working folder's path (getcwd); none when it cannot be named (gone,
// or above a folder this process may not search).
std::optional<std::string> workingFolder();

// The home folder the user database gives for the user this process runs
// as; none when it gives none.
std::optional<std::string> homeFolderOfUser();

// Calls handler, which may do only what a signal handler may, when the
// process is asked to stop (SIGINT, SIGTERM) instead of ending it.
void onStopRequest(void (*handler)(int));

// Runs program in this process's place with argv (execv); returns only on
// failure, with the errno.
int replaceWith(const std::string& program, char** argv);

// Starts program, looked for along PATH, with argv and this process's
// environment (posix_spawnp); 0 with *pid set, or the errno.
int startFromPath(const char* program, char* const* argv, pid_t* pid);

// Collects the child pid if it has ended, without waiting (waitpid with
// WNOHANG): 0 while it runs, pid with *status set once it ended, -1 on
// failure.
pid_t collectIfEnded(pid_t pid, int* status);

// The calling thread's id as the kernel numbers it (gettid): what /proc
// and the kernel's notices name a thread by.
pid_t threadNumber();

// Gives the whole pages inside [begin, begin + bytes) of this process's
// memory back to the system (madvise MADV_DONTNEED): they read as zeros
// after. For a part of a large allocation that will not be read again
// before it is freed.
void discardPages(void* begin, size_t bytes);

// Has every allocation of 128 KiB or more mapped apart and given back to
// the system as it is freed. The allocator otherwise raises that bound to
// the largest block freed so far, then keeps what it frees below it: the
// listing of a folder of a million names left megabytes behind for the
// rest of the walk. Once, before any thread starts.
void giveBackLargeBlocks();

} // namespace TFProcess
