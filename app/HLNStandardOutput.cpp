#include "app/HLNStandardOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string pending;
int firstError = 0;
bool said = false;

void drain() {
    size_t done = 0;
    while (done < pending.size() && !firstError) {
        const ssize_t n = ::write(STDOUT_FILENO, pending.data() + done, pending.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            firstError = errno;
        else
            done += static_cast<size_t>(n);
    }
    pending.clear();
}

} // namespace

namespace HLNStandardOutput {

void write(std::string_view bytes) {
    pending.append(bytes);
    if (pending.size() >= (1 << 16))
        drain();
}

void writeFields(std::initializer_list<std::string_view> fields) {
    bool first = true;
    for (std::string_view field : fields) {
        if (!first)
            write("\t");
        write(field);
        first = false;
    }
    write("\n");
}

int finish() {
    drain();
    if (!firstError)
        return 0;
    if (!said)
        std::fprintf(stderr, "hollin: standard output: %s\n", std::strerror(firstError));
    said = true;
    return 1;
}

} // namespace HLNStandardOutput
