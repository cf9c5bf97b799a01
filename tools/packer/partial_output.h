// The one guard against partial outputs: a file is written under a
// temporary name next to its final one and moved into place only when it
// is complete. However the run ends before that, the temporary file goes:
// on a failure, and on Ctrl+C or a termination signal too.
#ifndef CORVELLINTH_TOOLS_PACKER_PARTIAL_OUTPUT_H
#define CORVELLINTH_TOOLS_PACKER_PARTIAL_OUTPUT_H

#include <string>

#include "tools/packer/platform.h"
#include "tools/packer/signing.h"

namespace packer {

// A temporary name for path: next to it, unique to this process, ending in
// suffix.
std::string temporaryNameFor(const std::string& path, const std::string& suffix = ".tmp");

class PartialOutput {
  public:
    // Creates the temporary file for finalPath (shown in messages as shown).
    // Throws PackError when it cannot be created.
    PartialOutput(const std::string& finalPath, const std::string& shown, bool executable);
    ~PartialOutput();
    PartialOutput(const PartialOutput&) = delete;
    PartialOutput& operator=(const PartialOutput&) = delete;

    OutputSink& file() { return file_; }
    // Closes the file and moves it to its final name, replacing what was
    // there; with a signer, signs it first. Throws PackError when it cannot
    // (the temporary file then goes).
    void commit(Signer* signer = nullptr);

  private:
    std::string finalPath_;
    std::string temporaryPath_;
    std::string shown_;
    OutputFile file_;
    bool committed_ = false;
};

} // namespace packer

#endif
