#include "tests/support/packaging.h"

#include <stdexcept>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tools/packer/embed.h"

namespace testing_support {

std::wstring makePackagedExecutable(const std::wstring& outputPath,
                                    const std::vector<packer::Entry>& entries,
                                    const packer::WriterOptions& options) {
    return makePackagedExecutableFromAttachedData(outputPath,
                                                  packer::writeAttachedData(entries, options));
}

std::wstring makePackagedExecutableFromAttachedData(const std::wstring& outputPath,
                                                    const std::string& attachedData) {
    std::wstring error;
    if (!packer::embedAttachedData(binaryDirectory() + L"\\Corvellinth.exe", outputPath,
                                   attachedData.data(), attachedData.size(), &error)) {
        throw std::runtime_error("cannot make a packaged executable: " + narrow(error));
    }
    return outputPath;
}

packer::Entry fileEntry(const std::u16string& name, const std::wstring& sourcePath) {
    if (!fileExists(sourcePath)) {
        throw std::runtime_error("no such file: " + narrow(sourcePath));
    }
    return {name, readFile(sourcePath)};
}

} // namespace testing_support
