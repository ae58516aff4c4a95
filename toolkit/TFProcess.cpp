#include "toolkit/TFProcess.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace TFProcess {

std::optional<std::string> programPath() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return std::nullopt;
    return std::string(self, static_cast<size_t>(n));
}

std::optional<std::string> workingFolder() {
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd)
        return std::nullopt;
    std::string path(cwd);
    std::free(cwd);
    return path;
}

std::optional<std::string> homeFolderOfUser() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return std::string(pw->pw_dir);
    return std::nullopt;
}

void onStopRequest(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int replaceWith(const std::string& program, char** argv) {
    ::execv(program.c_str(), argv);
    return errno;
}

int startFromPath(const char* program, char* const* argv, pid_t* pid) {
    return ::posix_spawnp(pid, program, nullptr, nullptr, argv, environ);
}

pid_t collectIfEnded(pid_t pid, int* status) {
    return ::waitpid(pid, status, WNOHANG);
}

pid_t threadNumber() {
    return ::gettid();
}

void discardPages(void* begin, size_t bytes) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t from = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(begin) + bytes) & ~(page - 1);
    if (to > from)
        ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

void giveBackLargeBlocks() {
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024); // setting it fixes it
}

} // namespace TFProcess
