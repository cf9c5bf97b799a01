// Packaged executables for end-to-end tests: a copy of one of the build's
// launchers with attached data of the test's choosing.
//
//   testing_support::ScratchDirectory scratch;
//   const std::wstring exe = testing_support::makePackagedExecutable(
//       scratch / L"app.exe",
//       {testing_support::fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll"),
//        {u"data\\hello.txt", "hello"}});
//   const auto result = testing_support::runProcess(exe, {L"exit", L"7"});
//
// A test that needs damaged or unusual data builds the bytes itself
// (packer::wrapFrame, packer::writeAttachedData, an edited copy) and passes
// them to makePackagedExecutableFromAttachedData.
#ifndef CORVELLINTH_TESTS_SUPPORT_PACKAGING_H
#define CORVELLINTH_TESTS_SUPPORT_PACKAGING_H

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tools/packer/attached_writer.h"

namespace testing_support {

// The launcher that packaged executables are made from: the build's
// Corvellinth.exe, or CorvellinthConsole.exe when the variable
// CORVELLINTH_TEST_LAUNCHER is "console" (CTest runs every end-to-end
// program that starts a launcher once for each).
bool testsConsoleLauncher();
std::wstring launcherPath();
std::wstring consoleLauncherPath();

// Runs the build's onefile-pack.exe with arguments and waits for it.
ProcessResult pack(const std::vector<std::wstring>& arguments);

// Compression settings for tests: fast, otherwise as the packer's.
inline constexpr packer::WriterOptions kTestWriterOptions{3, 1, 21};

// Writes entries as attached data into a copy of launcherPath() at
// outputPath and returns outputPath. Throws std::runtime_error on failure.
std::wstring makePackagedExecutable(const std::wstring& outputPath,
                                    const std::vector<packer::Entry>& entries,
                                    const packer::WriterOptions& options = kTestWriterOptions);

// The same as a cached package (onefile-pack --cache) whose copies go to
// {TEMP}\<folder>; with attachedData given, that instead of the entries'
// own (the record still lists the entries).
std::wstring makeCachedExecutable(const std::wstring& outputPath,
                                  const std::vector<packer::Entry>& entries,
                                  const std::u16string& folder,
                                  const std::string& attachedData = {});

// The same with attached data given byte for byte (any content, even none
// of the format's), and optionally another launcher.
std::wstring makePackagedExecutableFromAttachedData(const std::wstring& outputPath,
                                                    const std::string& attachedData,
                                                    const std::wstring& launcher = {});

// The bytes of a resource of a module loaded as data ("<missing>" when it
// has none), found through the Windows API. type and name as FindResourceW
// takes them (MAKEINTRESOURCEW for numbers).
std::string resourceBytes(HMODULE module, const wchar_t* type, const wchar_t* name);
inline std::string resourceBytes(HMODULE module, WORD type, WORD id) {
    return resourceBytes(module, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id));
}

// The attached data of a packaged executable, read with the packer's own
// executable reader. Throws std::runtime_error when it has none.
std::string attachedDataOf(const std::wstring& executable);

// The lines that testapp's "hashes" prints ("hash <name> <size> <FNV-1a
// 64 in hex>") for entries unpacked byte for byte.
std::set<std::string> expectedHashLines(const std::vector<packer::Entry>& entries);

// The "hash" lines of a run's output, without the cached copy's marker.
std::set<std::string> hashLinesIn(const std::string& output);

// An entry named name holding the content of the file at sourcePath.
// Throws std::runtime_error when the file cannot be read.
packer::Entry fileEntry(const std::u16string& name, const std::wstring& sourcePath);

} // namespace testing_support

#endif
