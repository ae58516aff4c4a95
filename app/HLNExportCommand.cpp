#include "app/HLNExportCommand.h"

#include "scans/HLNScanWriter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace HLNExportCommand {

int run(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: hollin --export FILE PATH\n");
        return 2;
    }
    const std::string file = argv[2];
    // The scan names the folder by its absolute path, as ncdu's do; the
    // bytes are kept as given.
    std::string path = argv[3];
    if (!path.empty() && path[0] != '/') {
        if (char* cwd = ::getcwd(nullptr, 0)) {
            const std::string base = cwd;
            std::free(cwd);
            path = (base == "/" ? "" : base) + "/" + path;
        }
    }
    const bool toStdout = file == "-";
    const int fd = toStdout ? STDOUT_FILENO
                            : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "hollin: %s: %s\n", file.c_str(), std::strerror(errno));
        return 1;
    }
    HLNScanWriter writer(fd);
    // One line on a terminal's standard error, rewritten in place, a few
    // times a second, as --report shows it.
    const bool showProgress = ::isatty(STDERR_FILENO);
    auto last = std::chrono::steady_clock::now();
    bool shown = false;
    if (showProgress)
        writer.setProgressHandler([&](uint64_t entries, uint64_t bytes, const std::string& folder) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last < std::chrono::milliseconds(100))
                return;
            last = now;
            struct winsize ws {};
            const size_t width =
                ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col ? ws.ws_col : 80;
            char head[96];
            std::snprintf(head, sizeof head, "%llu entries, %llu bytes",
                          static_cast<unsigned long long>(entries),
                          static_cast<unsigned long long>(bytes));
            std::string line = std::string(head) + ", reading " + folder;
            for (char& c : line)
                if (static_cast<unsigned char>(c) < 0x20)
                    c = '?'; // keep it one line
            if (line.size() >= width)
                line.resize(width - 1);
            std::fprintf(stderr, "\r\033[K%s", line.c_str());
            std::fflush(stderr);
            shown = true;
        });
    std::string error;
    const bool written = writer.writeScanOfPath(path, &error);
    if (shown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    if (!toStdout && ::close(fd) != 0 && written)
        error = std::string("write: ") + std::strerror(errno);
    if (!error.empty()) {
        // A scan cut short is no scan: the file does not stay behind.
        if (!toStdout)
            ::unlink(file.c_str());
        if (error.rfind("write: ", 0) == 0)
            std::fprintf(stderr, "hollin: %s: %s\n", file.c_str(), error.c_str() + 7);
        else
            std::fprintf(stderr, "hollin: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

} // namespace HLNExportCommand
