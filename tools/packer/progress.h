// The progress line of onefile-pack on standard error: bytes done of the
// total and the rate, redrawn in place with '\r'.
#ifndef CORVELLINTH_TOOLS_PACKER_PROGRESS_H
#define CORVELLINTH_TOOLS_PACKER_PROGRESS_H

#include <windows.h>

#include <cstdint>
#include <string>

namespace packer {

class Progress {
  public:
    // Draws only when enabled and handle is a console, so a redirected
    // standard error never receives half-lines.
    Progress(HANDLE handle, std::uint64_t totalBytes, bool enabled);

    void advance(std::uint64_t bytes);
    // Draws the final state and ends the line.
    void finish();

    // "12.5 MiB of 1.0 GiB (7%), 31.2 MiB/s" for the given counts and time.
    static std::wstring formatLine(std::uint64_t done, std::uint64_t total,
                                   std::uint64_t milliseconds);

  private:
    void draw();

    HANDLE handle_;
    bool enabled_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    std::uint64_t startTick_;
    std::uint64_t lastDrawTick_ = 0;
    std::size_t lastLength_ = 0;
};

} // namespace packer

#endif
