// The progress line of onefile-pack on standard error: bytes done of the
// total, the rate and the time left, redrawn in place with '\r'.
#ifndef CORVELLINTH_TOOLS_PACKER_PROGRESS_H
#define CORVELLINTH_TOOLS_PACKER_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

namespace packer {

class Progress {
  public:
    // Draws only when enabled and standard error is a terminal, so a
    // redirected standard error never receives half-lines.
    Progress(std::uint64_t totalBytes, bool enabled);

    void advance(std::uint64_t bytes);
    // A file counted with planned bytes has actual ones (it was signed, or
    // changed since the tree was read).
    void correctTotal(std::uint64_t planned, std::uint64_t actual) { total_ += actual - planned; }
    // Draws the final state and ends the line.
    void finish();

    // "12.5 MiB of 1.0 GiB (1%), 31.2 MiB/s, 0:32 left" for the given counts
    // and time; the time left is missing until there is a rate.
    static std::string formatLine(std::uint64_t done, std::uint64_t total,
                                  std::uint64_t milliseconds);

  private:
    using Clock = std::chrono::steady_clock;
    void draw();
    std::uint64_t elapsedMilliseconds() const;

    bool enabled_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    Clock::time_point start_;
    std::uint64_t lastDraw_ = 0;
    std::size_t lastLength_ = 0;
};

} // namespace packer

#endif
