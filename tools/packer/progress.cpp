#include "tools/packer/progress.h"

#include <cstdio>
#include <iterator>

#include "tools/packer/platform.h"

namespace packer {
namespace {

constexpr std::uint64_t kRedrawIntervalMs = 200;
constexpr double kKibi = 1024.0;

std::string formatBytes(std::uint64_t bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= kKibi && unit + 1 < std::size(units)) {
        value /= kKibi;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// "0:07", "12:34" or "1:02:03".
std::string formatDuration(std::uint64_t seconds) {
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu",
                      static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    }
    return text;
}

} // namespace

Progress::Progress(std::uint64_t totalBytes, bool enabled)
    : enabled_(enabled && isTerminal(StandardStream::error)), total_(totalBytes),
      start_(Clock::now()) {}

std::string Progress::formatLine(std::uint64_t done, std::uint64_t total,
                                 std::uint64_t milliseconds) {
    const std::uint64_t percent = total == 0 ? 100 : done * 100 / total;
    const double seconds = static_cast<double>(milliseconds) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::string line = formatBytes(done) + " of " + formatBytes(total) + " (" +
                       std::to_string(percent) + "%), " +
                       formatBytes(static_cast<std::uint64_t>(rate)) + "/s";
    if (rate > 0 && done < total) {
        const double left = static_cast<double>(total - done) / rate;
        line += ", " + formatDuration(static_cast<std::uint64_t>(left + 0.5)) + " left";
    }
    return line;
}

void Progress::advance(std::uint64_t bytes) {
    done_ += bytes;
    if (!enabled_) {
        return;
    }
    const std::uint64_t now = elapsedMilliseconds();
    if (now - lastDraw_ >= kRedrawIntervalMs) {
        lastDraw_ = now;
        draw();
    }
}

void Progress::finish() {
    if (!enabled_) {
        return;
    }
    draw();
    writeStandard(StandardStream::error, "\n");
}

std::uint64_t Progress::elapsedMilliseconds() const {
    const auto elapsed = Clock::now() - start_;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void Progress::draw() {
    std::string line = formatLine(done_, total_, elapsedMilliseconds());
    const std::size_t length = line.size();
    // Blanks cover what is left of a longer previous line.
    if (length < lastLength_) {
        line.append(lastLength_ - length, ' ');
    }
    lastLength_ = length;
    writeStandard(StandardStream::error, "\r" + line);
}

} // namespace packer
