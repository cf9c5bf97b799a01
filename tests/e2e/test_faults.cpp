// Faults from outside while a packaged launcher runs: a file of the target
// directory held open by another process, and the child killed.
#include <windows.h>
#include <tlhelp32.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using testing_support::ScratchDirectory;

constexpr DWORD kAppearTimeoutMs = 60000;
constexpr DWORD kKilledExitCode = 0xC000013A; // above 0x7FFFFFFF: all 32 bits must pass

// A packaged testapp with a private temp directory, run on its own thread so
// that the test can act on its target directory while it runs.
class Launch {
  public:
    explicit Launch(const std::vector<std::wstring>& arguments) : scratch_(L"fault") {
        const std::wstring exe = testing_support::makePackagedExecutable(
            scratch_ / L"app.exe",
            {testing_support::fileEntry(u"main.dll",
                                        testing_support::binaryDirectory() + L"\\testapp.dll"),
             {u"data\\other.txt", "other"},
             {u"data\\held.txt", "held"}});
        temp_ = scratch_ / L"temp";
        CreateDirectoryW(temp_.c_str(), nullptr);
        testing_support::RunOptions options;
        testing_support::useTempDirectory(&options, temp_);
        options.timeoutMs = 120000;
        run_ = std::make_unique<testing_support::BackgroundProcess>(exe, arguments, options);
    }

    testing_support::ProcessResult finish() { return run_->finish(); }

    // The target directory once the parent has made it (empty on time-out).
    std::wstring targetDirectory() const {
        const std::wstring base = temp_ + L"\\CorvellinthOnefile";
        std::wstring found;
        testing_support::pollUntil(
            [&] {
                WIN32_FIND_DATAW entry;
                const HANDLE search = FindFirstFileW((base + L"\\onefile_*").c_str(), &entry);
                if (search == INVALID_HANDLE_VALUE) {
                    return false;
                }
                FindClose(search);
                found = base + L"\\" + entry.cFileName;
                return true;
            },
            kAppearTimeoutMs);
        return found;
    }

  private:
    ScratchDirectory scratch_;
    std::wstring temp_;
    std::unique_ptr<testing_support::BackgroundProcess> run_;
};

// held.txt is the last entry: once it can be opened for reading (the parent
// writes it without read sharing), the parent has closed it. Opened without
// delete sharing, it cannot be deleted.
HANDLE holdOpen(const std::wstring& path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    testing_support::pollUntil(
        [&] {
            file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        kAppearTimeoutMs);
    return file;
}

// The process named exeName whose parent is parentId, once there is one.
// The name matters: Wine reuses process ids at once, so a process of some
// earlier parent with the same id may still be running.
DWORD findChild(DWORD parentId, const wchar_t* exeName) {
    DWORD child = 0;
    testing_support::pollUntil(
        [&] {
            const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W entry{};
            entry.dwSize = sizeof(entry);
            for (BOOL more = Process32FirstW(snapshot, &entry); more && child == 0;
                 more = Process32NextW(snapshot, &entry)) {
                if (entry.th32ParentProcessID == parentId &&
                    _wcsicmp(entry.szExeFile, exeName) == 0) {
                    child = entry.th32ProcessID;
                }
            }
            CloseHandle(snapshot);
            return child != 0;
        },
        kAppearTimeoutMs);
    return child;
}

// The application waits until the file is held, so the delete always
// finds it held. 20 pauses of 100 ms come before the delete gives up, so
// the launcher ends at least two seconds after the application.
TEST(Faults, AFileHeldOpenDelaysTheDeleteAboutTwoSecondsAndIsThenGivenUp) {
    const ScratchDirectory control(L"fault-go");
    const std::wstring go = control / L"go";
    Launch held({L"await", go});
    const std::wstring target = held.targetDirectory();
    ASSERT_FALSE(target.empty());
    const HANDLE file = holdOpen(target + L"\\data\\held.txt");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const ULONGLONG released = GetTickCount64();
    testing_support::writeFile(go, "");
    const auto result = held.finish();
    const ULONGLONG ended = GetTickCount64();
    EXPECT_EQ(result.exitCode, 0u) << result.standardError;
    EXPECT_GE(ended - released, 1900u);
    EXPECT_TRUE(testing_support::fileExists(target + L"\\data\\held.txt"));
    EXPECT_FALSE(testing_support::fileExists(target + L"\\data\\other.txt"));
    CloseHandle(file);
    testing_support::removeTree(target);
}

TEST(Faults, AChildKilledFromOutsideGivesItsExitCodeAndTheDirectoryStillGoes) {
    Launch launch({L"sleep", L"60000"});
    const std::wstring target = launch.targetDirectory();
    ASSERT_FALSE(target.empty());
    // onefile_<parent id>_<time>
    const std::wstring name = target.substr(target.rfind(L'\\') + 1);
    const DWORD parentId = std::wcstoul(name.c_str() + wcslen(L"onefile_"), nullptr, 10);
    const DWORD childId = findChild(parentId, L"app.exe");
    ASSERT_NE(childId, 0u);
    const HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, childId);
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(TerminateProcess(child, kKilledExitCode));
    CloseHandle(child);

    const auto result = launch.finish();
    // The application would sleep for a minute: its code shows it was the kill.
    EXPECT_EQ(result.exitCode, kKilledExitCode) << result.standardOutput << result.standardError;
    EXPECT_FALSE(testing_support::directoryExists(target));
}

} // namespace
