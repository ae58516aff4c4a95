#include "app/HLNStandardOutput.h"

#include "toolkit/TFStandardStreams.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string pending;
int firstError = 0;
bool said = false;

void drain() {
    if (!firstError)
        firstError = TFStandardStreams::writeToStandardOutput(pending);
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
