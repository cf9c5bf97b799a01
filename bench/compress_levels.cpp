// Times the packer's compression of a tree, as onefile-pack does it (the
// same walk, reads and writer), at one level, and prints one JSON line. The
// attached data is counted, not written, so the disk's speed stays out of
// the figure. Native Linux program of the host build; bench/levels.py
// drives it.
//
//   compress_levels --main REL [--level N] [--long] [--threads N] DIR
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/packer/packing.h"
#include "tools/packer/source_tree.h"

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& value) {
        return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Settings {
    std::string directory;
    std::string main;
    packer::WriterOptions options;
};

Settings parse(const std::vector<std::string>& arguments) {
    Settings settings;
    settings.options.threads = 0;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        const bool hasValue = index + 1 < arguments.size();
        if (argument == "--main" && hasValue) {
            settings.main = arguments[++index];
        } else if (argument == "--level" && hasValue) {
            settings.options.level = std::stoi(arguments[++index]);
        } else if (argument == "--threads" && hasValue) {
            settings.options.threads = std::stoi(arguments[++index]);
        } else if (argument == "--long") {
            settings.options.longDistance = true;
        } else {
            settings.directory = argument;
        }
    }
    return settings;
}

} // namespace

int main(int argc, char** argv) {
    const Settings settings = parse(std::vector<std::string>(argv + 1, argv + argc));
    if (settings.directory.empty() || settings.main.empty()) {
        std::fprintf(stderr, "usage: compress_levels --main REL [--level N] [--long] "
                             "[--threads N] DIR\n");
        return 2;
    }
    try {
        const packer::SourceTree tree =
            packer::collectSourceTree(settings.directory, settings.main, {});
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        const std::uint64_t output = packer::compressTree(
            tree, settings.options, [](const void*, std::size_t) {}, false);
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        std::printf("{\"level\": %d, \"long\": %s, \"files\": %zu, \"input\": %llu, "
                    "\"output\": %llu, \"seconds\": %.2f, \"cpu_seconds\": %.2f}\n",
                    settings.options.level, settings.options.longDistance ? "true" : "false",
                    tree.files.size(), static_cast<unsigned long long>(tree.totalBytes),
                    static_cast<unsigned long long>(output), wall.count(), cpuSeconds() - cpuStart);
    } catch (const packer::PackError& failure) {
        std::fprintf(stderr, "compress_levels: %s\n", failure.what());
        return 1;
    }
    return 0;
}
