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
    double seconds() const { return run_->seconds(); }

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
// writes it without read sharing), the parent has closed it and starts the
// child. Opened without delete sharing, it cannot be deleted.
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

TEST(Faults, AFileHeldOpenDelaysTheDeleteAboutTwoSecondsAndIsThenGivenUp) {
    Launch unhindered({L"sleep", L"1500"});
    ASSERT_EQ(unhindered.finish().exitCode, 0u);

    Launch held({L"sleep", L"1500"});
    const std::wstring target = held.targetDirectory();
    ASSERT_FALSE(target.empty());
    const HANDLE file = holdOpen(target + L"\\data\\held.txt");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const auto result = held.finish();
    EXPECT_EQ(result.exitCode, 0u) << result.standardError;

    // 21 attempts 100 ms apart add about two seconds, then the directory is
    // left with the file that could not go.
    const double delay = held.seconds() - unhindered.seconds();
    printf("held open: %.2f s, unhindered: %.2f s\n", held.seconds(), unhindered.seconds());
    EXPECT_GT(delay, 1.5) << held.seconds() << " s against " << unhindered.seconds() << " s";
    EXPECT_LT(delay, 8.0) << held.seconds() << " s against " << unhindered.seconds() << " s";
    EXPECT_TRUE(testing_support::fileExists(target + L"\\data\\held.txt"));
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
    EXPECT_EQ(result.exitCode, kKilledExitCode) << result.standardOutput << result.standardError;
    EXPECT_LT(launch.seconds(), 30.0);
    EXPECT_FALSE(testing_support::directoryExists(target));
}

} // namespace
