#include "toolkit/TFStandardStreams.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

namespace TFStandardStreams {

int writeToStandardOutput(std::string_view bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO);
}

size_t standardErrorWidth() {
    struct winsize ws {};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col ? ws.ws_col : 80;
}

} // namespace TFStandardStreams
