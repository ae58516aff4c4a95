#include "app/HLNExportCommand.h"

#include "scans/HLNScanReader.h"
#include "scans/HLNScanWriter.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFOutputFile.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFStandardStreams.h"
#include "toolkit/TFString.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace HLNExportCommand {

std::string progressText(uint64_t entries, uint64_t bytes) {
    // In the window's units: items, and bytes as the window abbreviates them.
    std::string count = std::to_string(entries);
    for (int at = int(count.size()) - 3; at > 0; at -= 3)
        count.insert(size_t(at), ",");
    return count + (entries == 1 ? " item, " : " items, ") +
           TFString::abbreviatedStringForBytes(bytes);
}

int run(int argc, char** argv) {
    const bool extended = argc == 5 && std::strcmp(argv[2], "--extended") == 0;
    if (argc != 4 && !extended) {
        std::fprintf(stderr, "usage: hollin --export [--extended] FILE PATH|SCAN\n");
        return 2;
    }
    if (extended)
        ++argv;
    const std::string file = argv[2];
    // PATH first: a scan that cannot be made touches no file. The scan
    // names the folder by its absolute path, as ncdu's do; the bytes are
    // kept as given (a link given with a slash is the folder it names).
    const TFPathArgument argument(argv[3]);
    if (argument.reportError())
        return 1;
    // A scan file is exported again: the tree it holds, as it holds it.
    const bool scan =
        !argument.examination().isDirectory() && HLNScanReader::looksLikeScan(argument.given());
    if (!argument.examination().isDirectory() && !scan) {
        TFPathArgument::report(argument.given(), ENOTDIR);
        return 1;
    }
    const std::string path = scan ? argument.given() : argument.absolutePath();
    TFOutputFile output(file);
    const int fd = output.fd();
    if (fd < 0) {
        std::fprintf(stderr, "hollin: %s: %s\n", file.c_str(), std::strerror(output.error()));
        return 1;
    }
    HLNScanWriter writer(fd);
    writer.setExtended(extended);
    // One line on a terminal's standard error, rewritten in place, a few
    // times a second, as --report shows it.
    const bool showProgress = TFStandardStreams::standardErrorIsTerminal();
    auto last = std::chrono::steady_clock::now();
    bool shown = false;
    if (showProgress)
        writer.setProgressHandler([&](uint64_t entries, uint64_t bytes, const std::string& folder) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last < std::chrono::milliseconds(100))
                return;
            last = now;
            const size_t width = TFStandardStreams::standardErrorWidth();
            std::string line = progressText(entries, bytes) + ", reading " + folder;
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
    const bool written =
        scan ? writer.writeScanOfScan(path, &error) : writer.writeScanOfPath(path, &error);
    if (shown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    if (written)
        if (const int problem = output.commit())
            error = std::string("write: ") + std::strerror(problem);
    if (!error.empty()) {
        // A scan cut short is no scan: the old file stays as it was.
        if (error.rfind("write: ", 0) == 0)
            std::fprintf(stderr, "hollin: %s: %s\n",
                         output.isStandardOutput() ? "standard output" : file.c_str(),
                         error.c_str() + 7);
        else
            std::fprintf(stderr, "hollin: %s\n", error.c_str());
        return 1;
    }
    // The scan is whole; entries it could not read are marked in it and
    // were named on standard error, and fail the command, as du's.
    return writer.readErrors() ? 1 : 0;
}

} // namespace HLNExportCommand
