#include "toolkit/TFCommand.h"

#include "toolkit/TFException.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace TFCommand {

namespace {
struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    void closeEnd(int i) {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
};
} // namespace

std::string filterDataThroughCommandAtPath(std::string_view data, const std::string& path,
                                           const std::vector<std::string>& arguments) {
    // A program that exits without reading its input must not kill us with
    // SIGPIPE; the write then fails with EPIPE instead.
    static std::once_flag ignoreSigpipe;
    std::call_once(ignoreSigpipe, [] { ::signal(SIGPIPE, SIG_IGN); });

    Pipe in, out;
    if (::pipe2(in.fd, O_CLOEXEC) != 0 || ::pipe2(out.fd, O_CLOEXEC) != 0)
        throw TFException(std::string("pipe: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);

    // The child starts with SIGPIPE at its default action, whatever we set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        throw TFException("couldn't run " + path + ": " + std::strerror(rc));
    in.closeEnd(0);
    out.closeEnd(1);
    // Our end of the input pipe must not block: a blocking write of a large
    // input would wait for the program to read while the program waits for
    // us to drain its output.
    ::fcntl(in.fd[1], F_SETFL, ::fcntl(in.fd[1], F_GETFL) | O_NONBLOCK);

    // Feed input and drain output together so neither side can block the other.
    std::string result;
    size_t written = 0;
    if (data.empty())
        in.closeEnd(1);
    char buffer[65536];
    while (out.fd[0] >= 0) {
        pollfd fds[2];
        nfds_t n = 0;
        fds[n++] = {out.fd[0], POLLIN, 0};
        if (in.fd[1] >= 0)
            fds[n++] = {in.fd[1], POLLOUT, 0};
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (n == 2 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = ::write(in.fd[1], data.data() + written, data.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            if (w < 0 && errno != EINTR && errno != EAGAIN)
                written = data.size();
            if (written >= data.size())
                in.closeEnd(1);
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t r = ::read(out.fd[0], buffer, sizeof buffer);
            if (r > 0) {
                result.append(buffer, static_cast<size_t>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                out.closeEnd(0);
            }
        }
    }
    in.closeEnd(1);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        throw TFException(path + " was killed by signal " + std::to_string(WTERMSIG(status)));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw TFException(path + " exited with status " + std::to_string(WEXITSTATUS(status)));
    return result;
}

} // namespace TFCommand
