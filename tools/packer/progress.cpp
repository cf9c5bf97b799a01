#include "tools/packer/progress.h"

#include <cwchar>

#include "tools/packer/system_text.h"

namespace packer {
namespace {

constexpr std::uint64_t kRedrawIntervalMs = 200;
constexpr double kKibi = 1024.0;

std::wstring formatBytes(std::uint64_t bytes) {
    const wchar_t* const units[] = {L"B", L"KiB", L"MiB", L"GiB", L"TiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= kKibi && unit + 1 < std::size(units)) {
        value /= kKibi;
        ++unit;
    }
    wchar_t text[32];
    std::swprintf(text, std::size(text), unit == 0 ? L"%.0f %ls" : L"%.1f %ls", value, units[unit]);
    return text;
}

} // namespace

Progress::Progress(HANDLE handle, std::uint64_t totalBytes, bool enabled)
    : handle_(handle), enabled_(enabled && isConsole(handle)), total_(totalBytes),
      startTick_(GetTickCount64()) {}

std::wstring Progress::formatLine(std::uint64_t done, std::uint64_t total,
                                  std::uint64_t milliseconds) {
    const std::uint64_t percent = total == 0 ? 100 : done * 100 / total;
    const double seconds = static_cast<double>(milliseconds) / 1000.0;
    const auto rate =
        static_cast<std::uint64_t>(seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
    return formatBytes(done) + L" of " + formatBytes(total) + L" (" + std::to_wstring(percent) +
           L"%), " + formatBytes(rate) + L"/s";
}

void Progress::advance(std::uint64_t bytes) {
    done_ += bytes;
    if (!enabled_) {
        return;
    }
    const std::uint64_t now = GetTickCount64();
    if (now - lastDrawTick_ >= kRedrawIntervalMs) {
        lastDrawTick_ = now;
        draw();
    }
}

void Progress::finish() {
    if (!enabled_) {
        return;
    }
    draw();
    writeText(handle_, L"\n");
}

void Progress::draw() {
    std::wstring line = formatLine(done_, total_, GetTickCount64() - startTick_);
    const std::size_t length = line.size();
    // Blanks cover what is left of a longer previous line.
    if (length < lastLength_) {
        line.append(lastLength_ - length, L' ');
    }
    lastLength_ = length;
    writeText(handle_, L"\r" + line);
}

} // namespace packer
