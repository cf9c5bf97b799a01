#include "tools/packer/partial_output.h"

namespace packer {

std::string temporaryNameFor(const std::string& path, const std::string& suffix) {
    return path + ".onefile-pack-" + std::to_string(currentProcessId()) + suffix;
}

namespace {

// Creates the file at path with its name already given to the interrupt
// handler: an interruption between the creation and the registration
// would leave it behind.
OutputFile createRemovedOnInterrupt(const std::string& path, const std::string& shown,
                                    bool executable) {
    removeOnInterrupt(path);
    try {
        return OutputFile(path, shown, executable);
    } catch (const PackError&) {
        removeOnInterrupt("");
        throw;
    }
}

} // namespace

PartialOutput::PartialOutput(const std::string& finalPath, const std::string& shown,
                             bool executable)
    : finalPath_(finalPath), temporaryPath_(temporaryNameFor(finalPath)), shown_(shown),
      file_(createRemovedOnInterrupt(temporaryPath_, shown, executable)) {}

PartialOutput::~PartialOutput() {
    if (committed_) {
        return;
    }
    removeOnInterrupt("");
    try {
        file_.close();
    } catch (const PackError&) {
        // The file goes anyway; the failure that got us here is reported.
    }
    removeFile(temporaryPath_);
}

void PartialOutput::commit(Signer* signer) {
    file_.close();
    if (signer != nullptr) {
        signer->signInPlace(temporaryPath_, ".exe", "the output '" + shown_ + "'");
    }
    removeOnInterrupt("");
    const SystemError code = replaceFile(temporaryPath_, finalPath_);
    if (code != 0) {
        throw PackError(describeFailure("cannot write", shown_, code));
    }
    committed_ = true;
}

} // namespace packer
