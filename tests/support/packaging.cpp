#include "tests/support/packaging.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tools/packer/cache_package.h"
#include "tools/packer/packing.h"

namespace testing_support {

bool testsConsoleLauncher() {
    wchar_t value[16];
    const DWORD length = GetEnvironmentVariableW(L"CORVELLINTH_TEST_LAUNCHER", value, 16);
    return length < 16 && std::wstring(value, length) == L"console";
}

std::wstring launcherPath() {
    return testsConsoleLauncher() ? consoleLauncherPath()
                                  : binaryDirectory() + L"\\Corvellinth.exe";
}

std::wstring consoleLauncherPath() {
    return binaryDirectory() + L"\\CorvellinthConsole.exe";
}

ProcessResult pack(const std::vector<std::wstring>& arguments) {
    RunOptions options;
    options.timeoutMs = 300000;
    ProcessResult result =
        runProcess(binaryDirectory() + L"\\onefile-pack.exe", arguments, options);
    if (result.timedOut) {
        ADD_FAILURE() << "onefile-pack timed out";
    }
    return result;
}

std::wstring makePackagedExecutable(const std::wstring& outputPath,
                                    const std::vector<packer::Entry>& entries,
                                    const packer::WriterOptions& options) {
    return makePackagedExecutableFromAttachedData(outputPath,
                                                  packer::writeAttachedData(entries, options));
}

std::wstring makePackagedExecutableFromAttachedData(const std::wstring& outputPath,
                                                    const std::string& attachedData,
                                                    const std::wstring& launcher) {
    try {
        const packer::Launcher source(narrow(launcher.empty() ? launcherPath() : launcher));
        packer::writePackage(source, {}, narrow(outputPath), narrow(outputPath), nullptr,
                             [&attachedData](packer::PackagedExecutableWriter& writer) {
                                 writer.addAttachedData(attachedData.data(), attachedData.size());
                             });
    } catch (const packer::PackError& failure) {
        throw std::runtime_error("cannot make a packaged executable: " + failure.message());
    }
    return outputPath;
}

std::wstring makeCachedExecutable(const std::wstring& outputPath,
                                  const std::vector<packer::Entry>& entries,
                                  const std::u16string& folder) {
    const std::string attachedData = packer::writeAttachedData(entries, kTestWriterOptions);
    try {
        packer::CacheRecordBuilder record({cache::Root::temp, folder});
        for (const packer::Entry& entry : entries) {
            record.addEntry(entry.name, entry.data.size());
        }
        record.addAttachedData(attachedData.data(), attachedData.size());
        packer::ResourceEdits edits;
        edits.cacheRecord = record.record();
        const packer::Launcher source(narrow(binaryDirectory() + L"\\Corvellinth.exe"));
        packer::writePackage(source, edits, narrow(outputPath), narrow(outputPath), nullptr,
                             [&attachedData](packer::PackagedExecutableWriter& writer) {
                                 writer.addAttachedData(attachedData.data(), attachedData.size());
                             });
    } catch (const packer::PackError& failure) {
        throw std::runtime_error("cannot make a cached executable: " + failure.message());
    }
    return outputPath;
}

std::string resourceBytes(HMODULE module, const wchar_t* type, const wchar_t* name) {
    const HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return "<missing>";
    }
    const void* const bytes = LockResource(LoadResource(module, found));
    return std::string(static_cast<const char*>(bytes), SizeofResource(module, found));
}

std::string attachedDataOf(const std::wstring& executable) {
    const packer::InputFile file(narrow(executable));
    const std::optional<packer::ResourceEntry> found =
        packer::findAttachedData(packer::readPeImage(file));
    if (!found) {
        throw std::runtime_error("no attached data in " + narrow(executable));
    }
    return file.bytes(found->fileOffset, found->size);
}

packer::Entry fileEntry(const std::u16string& name, const std::wstring& sourcePath) {
    if (!fileExists(sourcePath)) {
        throw std::runtime_error("no such file: " + narrow(sourcePath));
    }
    return {name, readFile(sourcePath)};
}

} // namespace testing_support
