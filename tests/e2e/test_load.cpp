// Sixteen launchers of a 100 MB application started at once: all succeed,
// and afterwards nothing of theirs is left in the temp directory.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using testing_support::ScratchDirectory;

constexpr std::size_t kLaunchers = 16;
constexpr std::size_t kFiles = 20;
constexpr std::size_t kFileSize = 5 << 20; // 100 MiB in all
constexpr DWORD kRunTimeoutMs = 480000;

// Words picked by a fast generator: text that compresses, but not to
// nothing, so that packing stays quick and unpacking does real work.
std::string wordSoup(std::size_t size, std::uint64_t seed) {
    static const char* const kWords[] = {"alpha ", "bravo ",  "charlie ", "delta ",   "echo ",
                                         "fox ",   "golf ",   "hotel ",   "india ",   "juliet ",
                                         "kilo ",  "lima ",   "mike ",    "nov ",     "oscar ",
                                         "papa ",  "quebec ", "romeo ",   "sierra\n", "tango "};
    std::string text;
    text.reserve(size + 16);
    std::uint64_t state = seed * 2654435761u + 1;
    while (text.size() < size) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        text += kWords[state % 20];
        if (state % 97 == 0) {
            text += std::to_string(state % 100000);
        }
    }
    text.resize(size);
    return text;
}

TEST(Load, SixteenLaunchersOfAHundredMegabytesAtOnce) {
    ScratchDirectory scratch(L"load");
    std::vector<packer::Entry> entries = {testing_support::fileEntry(
        u"main.dll", testing_support::binaryDirectory() + L"\\testapp.dll")};
    for (std::size_t index = 0; index < kFiles; ++index) {
        const std::u16string folder = index % 2 == 0 ? u"even\\" : u"odd\\deeper\\";
        const std::string number = std::to_string(index);
        entries.push_back({folder + std::u16string(number.begin(), number.end()) + u".txt",
                           wordSoup(kFileSize, index + 1)});
    }
    const std::wstring exe = testing_support::makePackagedExecutable(
        scratch / L"big.exe", entries, packer::WriterOptions{1, 2, 21});
    entries.clear();

    const std::wstring temp = scratch / L"temp";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    testing_support::RunOptions options;
    testing_support::useTempDirectory(&options, temp);
    options.timeoutMs = kRunTimeoutMs;

    std::vector<testing_support::ProcessResult> results(kLaunchers);
    std::vector<std::thread> launchers;
    for (std::size_t index = 0; index < kLaunchers; ++index) {
        launchers.emplace_back([&, index] {
            results[index] =
                testing_support::runProcess(exe, {L"files", L"--", L"exit", L"7"}, options);
        });
    }
    for (std::thread& launcher : launchers) {
        launcher.join();
    }

    for (std::size_t index = 0; index < kLaunchers; ++index) {
        SCOPED_TRACE("launcher " + std::to_string(index) + ": " + results[index].standardError);
        EXPECT_FALSE(results[index].timedOut);
        EXPECT_EQ(results[index].exitCode, 7u);
        // Every launcher saw its whole application.
        EXPECT_THAT(results[index].standardOutput,
                    ::testing::HasSubstr("file odd\\deeper\\" + std::to_string(kFiles - 1)));
    }
    EXPECT_THAT(testing_support::listFiles(temp), ::testing::IsEmpty());
    WIN32_FIND_DATAW found;
    const HANDLE left = FindFirstFileW((temp + L"\\CorvellinthOnefile\\onefile_*").c_str(), &found);
    EXPECT_EQ(left, INVALID_HANDLE_VALUE)
        << "left behind: " << testing_support::narrow(found.cFileName);
    if (left != INVALID_HANDLE_VALUE) {
        FindClose(left);
    }
}

} // namespace
