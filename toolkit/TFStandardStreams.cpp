#include "toolkit/TFStandardStreams.h"

#include "toolkit/TFOutputFile.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace TFStandardStreams {

int writeToStandardOutput(std::string_view bytes) {
    return TFOutputFile::writeAll(STDOUT_FILENO, bytes.data(), bytes.size());
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO);
}

size_t standardErrorWidth() {
    struct winsize ws {};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col ? ws.ws_col : 80;
}

} // namespace TFStandardStreams
