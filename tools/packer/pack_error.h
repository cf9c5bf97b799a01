// The one failure type of the packer: a finished one-line message for the
// user in UTF-8 ("onefile-pack: " is added when it is printed) and the exit
// code. Everything that can go wrong while packing ends in one of these.
#ifndef CORVELLINTH_TOOLS_PACKER_PACK_ERROR_H
#define CORVELLINTH_TOOLS_PACKER_PACK_ERROR_H

#include <stdexcept>
#include <string>

namespace packer {

// Exit codes of onefile-pack.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // bad input, unreadable file, output not written
inline constexpr int kExitUsage = 2;   // unknown option, missing value, bad number

class PackError : public std::runtime_error {
  public:
    explicit PackError(const std::string& message, int exitCode = kExitFailure)
        : std::runtime_error(message), exitCode_(exitCode) {}
    std::string message() const { return what(); }
    int exitCode() const { return exitCode_; }

  private:
    int exitCode_;
};

} // namespace packer

#endif
