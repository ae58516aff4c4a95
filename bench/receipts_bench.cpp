// Indexes this machine's dpkg database with the package receipt index and
// reports: time to index, index memory against the bytes of the paths it
// holds, and median lookup times for a listed and an unlisted path.
//   receipts_bench [dpkg-info-folder]
#include "receipts/HLNPackageReceipt.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Median over rounds of the mean time of one call, in nanoseconds.
double medianNanoseconds(const std::vector<std::string>& paths, size_t& sink) {
    constexpr int rounds = 201;
    std::vector<double> samples;
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        for (const std::string& p : paths)
            sink += HLNPackageReceipt::packageNamesForFilename(p).size();
        std::chrono::duration<double, std::nano> d = Clock::now() - start;
        samples.push_back(d.count() / paths.size());
    }
    std::nth_element(samples.begin(), samples.begin() + rounds / 2, samples.end());
    return samples[rounds / 2];
}

// Each path timed alone: the median of single calls.
double medianSingleNanoseconds(const std::vector<std::string>& paths, size_t& sink) {
    std::vector<double> samples;
    for (int r = 0; r < 5; ++r)
        for (const std::string& p : paths) {
            auto start = Clock::now();
            sink += HLNPackageReceipt::packageNamesForFilename(p).size();
            samples.push_back(
                std::chrono::duration<double, std::nano>(Clock::now() - start).count());
        }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}
} // namespace

int main(int argc, char** argv) {
    std::string info = argc > 1 ? argv[1] : "/var/lib/dpkg/info";
    HLNPackageReceipt::setDpkgInfoFolder(info);

    long rssBefore = residentKiB();
    double cpuBefore = cpuSeconds();
    auto start = Clock::now();
    HLNPackageReceipt::waitUntilScanFinished();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = cpuSeconds() - cpuBefore;
    long rssAfter = residentKiB();

    auto list = HLNPackageReceipt::allPackages();
    auto stats = HLNPackageReceipt::indexStatistics();
    std::printf("packages indexed:        %zu\n", list->size());
    std::printf("distinct paths held:     %zu (%zu bytes)\n", stats.paths, stats.pathBytes);
    std::printf("time to index:           %.3f s (CPU %.3f s)\n", seconds, cpu);
    std::printf("index zone:              %zu bytes = %.2f x the path bytes\n", stats.zoneBytes,
                stats.pathBytes ? double(stats.zoneBytes) / double(stats.pathBytes) : 0.0);
    std::printf(
        "resident growth:         %ld KiB (whole process, receipts and allocator included)\n",
        rssAfter - rssBefore);

    // Listed paths: a sample of lines from the lists, as the lookups see them.
    std::vector<std::string> listed;
    for (const auto& receipt : *list) {
        std::ifstream in(info + "/" + receipt->packageName() + ".list");
        std::string line;
        while (std::getline(in, line))
            if (receipt->fileIsPartOfPackage(line))
                listed.push_back(line);
    }
    std::mt19937 random(42);
    std::shuffle(listed.begin(), listed.end(), random);
    if (listed.size() > 2000)
        listed.resize(2000);
    std::vector<std::string> unlisted;
    for (size_t i = 0; i < listed.size(); ++i)
        unlisted.push_back(listed[i] + ".not-listed");
    for (int i = 0; i < 200; ++i)
        unlisted.push_back("/home/user/Documents/report-" + std::to_string(i) + ".txt");

    size_t sink = 0;
    std::vector<std::string> one = {"/usr/bin/ls"}, none = {"/usr/bin/no-such-tool"};
    std::printf("lookup, listed /usr/bin/ls:        median %.0f ns\n",
                medianNanoseconds(one, sink));
    std::printf("lookup, unlisted path:             median %.0f ns\n",
                medianNanoseconds(none, sink));
    std::printf("lookup, %zu listed paths:        median %.0f ns per call\n", listed.size(),
                medianSingleNanoseconds(listed, sink));
    std::printf("lookup, %zu unlisted paths:      median %.0f ns per call\n", unlisted.size(),
                medianSingleNanoseconds(unlisted, sink));
    // The per-receipt probe, for comparison: one membership test per package.
    {
        std::vector<double> samples;
        for (const std::string& p : listed) {
            auto t = Clock::now();
            for (const auto& receipt : *list)
                sink += receipt->fileIsPartOfPackage(p);
            samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t).count());
        }
        std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
        std::printf("probing every receipt instead:     median %.0f ns per path\n",
                    samples[samples.size() / 2]);
    }
    return sink == 0 ? 1 : 0;
}
