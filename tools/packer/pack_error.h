// The one failure type of the packer: a finished one-line message for the
// user ("onefile-pack: " is added when it is printed) and the exit code.
#ifndef CORVELLINTH_TOOLS_PACKER_PACK_ERROR_H
#define CORVELLINTH_TOOLS_PACKER_PACK_ERROR_H

#include <exception>
#include <string>
#include <utility>

namespace packer {

// Exit codes of onefile-pack.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // bad input, unreadable file, output not written
inline constexpr int kExitUsage = 2;   // unknown option, missing value, bad number

class PackError : public std::exception {
  public:
    explicit PackError(std::wstring message, int exitCode = kExitFailure)
        : message_(std::move(message)), exitCode_(exitCode) {}
    const std::wstring& message() const { return message_; }
    int exitCode() const { return exitCode_; }
    const char* what() const noexcept override { return "onefile-pack failure"; }

  private:
    std::wstring message_;
    int exitCode_;
};

} // namespace packer

#endif
