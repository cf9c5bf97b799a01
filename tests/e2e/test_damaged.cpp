// Damaged packages run for real: a valid package (testapp.dll as the main
// file and about 1 MB of data) truncated at 64 lengths and with 256 single
// bits flipped. Every run ends in time with the outcome that the damaged
// bytes call for, and nothing is written outside the target directory.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/native/support/decoding_oracle.h"
#include "tests/native/support/entry_stream_model.h"
#include "tests/native/support/test_bytes.h"
#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using native_support::pseudoRandomBytes;
using native_support::StreamEnding;
using testing_support::ScratchDirectory;

constexpr DWORD kRunTimeoutMs = 30000;
constexpr std::size_t kTruncations = 64;
constexpr std::size_t kBitFlips = 256;
constexpr std::size_t kDecodeLimit = std::size_t{256} << 20;

const char kHeaderMessage[] = "Error, couldn't find attached data header.";
const char kDecodeMessage[] = "Error, couldn't decode attached data.";
const char kOpenMessage[] = "Error, failed to open '";
const char kWriteMessage[] = "Error, couldn't unpack file to target path.";

// What the launcher must do with a damaged package, worked out by decoding
// it here.
enum class Expected {
    HeaderFailure, // exit 2 with the header message
    StreamFailure, // exit 2 with the decode message, or a write failure before it
    Runs,          // exit 0, or exit 2 where a damaged name cannot be written
    NoApplication, // the stream holds no entry: the child has nothing to run
    DamagedApp,    // the main DLL itself decodes damaged: not run (below)
};

// The two CTest runs of this program (the windowed and the console
// launcher, which read damaged data with the same code) share the cases:
// each runs every other one, so that together they run each once.
bool isThisLaunchersCase(std::size_t index) {
    return index % 2 == (testing_support::testsConsoleLauncher() ? 1u : 0u);
}

std::string text(std::size_t size) {
    std::string result;
    for (int line = 0; result.size() < size; ++line) {
        result += "line " + std::to_string(line) + " of some compressible notes\r\n";
    }
    return result.substr(0, size);
}

class DamagedPackage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        entries_ = {testing_support::fileEntry(u"main.dll", testing_support::binaryDirectory() +
                                                                L"\\testapp.dll"),
                    {u"data\\random.bin", pseudoRandomBytes(500000, 7)},
                    {u"data\\notes\\readme.txt", text(150000)},
                    {u"empty.txt", ""},
                    {u"lib\\x\\y\\z.dat", pseudoRandomBytes(5000, 8)}};
        attachedData_ = new std::string(
            packer::writeAttachedData(entries_, testing_support::kTestWriterOptions));
    }
    static void TearDownTestSuite() { delete attachedData_; }

    // Other tests run launchers in the real temp directory at the same
    // time, so only a directory named with this run's process id counts,
    // looked for while the run's process is held (runHeld).
    static bool wroteToRealTemp(DWORD processId) {
        const std::wstring prefix = L"onefile_" + std::to_wstring(processId) + L"_";
        const std::vector<std::wstring> runs = testing_support::namesIn(
            testing_support::systemTempDirectory() + L"\\CorvellinthOnefile");
        return std::any_of(runs.begin(), runs.end(),
                           [&](const std::wstring& name) { return name.rfind(prefix, 0) == 0; });
    }

    // Runs exe and keeps its process: while a handle to it is open, its id
    // cannot pass to a launcher of another test. A run that Wine refused to
    // start the application for is run again, as runProcess does.
    static std::unique_ptr<testing_support::BackgroundProcess>
    runHeld(const std::wstring& exe, const testing_support::RunOptions& options,
            testing_support::ProcessResult* result) {
        constexpr int kAttempts = 3;
        std::unique_ptr<testing_support::BackgroundProcess> run;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            run = std::make_unique<testing_support::BackgroundProcess>(
                exe, std::vector<std::wstring>{L"exit", L"0"}, options);
            *result = run->finish();
            if (!testing_support::isWineLaunchRefusal(*result)) {
                break;
            }
        }
        return run;
    }

    static Expected expectationFor(const std::string& data) {
        if (data.size() < 3 || data.compare(0, 3, "KAY") != 0) {
            return Expected::HeaderFailure;
        }
        const auto decoded =
            native_support::decodeAll(std::string_view(data).substr(3), kDecodeLimit);
        const auto model = native_support::modelEntryStream(decoded.bytes);
        const auto& main = entries_.front().data;
        const bool mainIntact = !model.entries.empty() && model.entries[0].size == main.size() &&
                                model.entries[0].digest == native_support::dataDigest(main);
        if (model.ending != StreamEnding::Complete) {
            return Expected::StreamFailure;
        }
        if (model.entries.empty()) {
            return Expected::NoApplication;
        }
        return mainIntact ? Expected::Runs : Expected::DamagedApp;
    }

    // Runs the damaged package with its own temp directory, then checks the
    // outcome and that every file it left is inside a target directory.
    void runDamaged(const std::string& data, const std::string& what) {
        ScratchDirectory scratch(L"dmg");
        const std::wstring exe =
            testing_support::makePackagedExecutableFromAttachedData(scratch / L"damaged.exe", data);
        const std::wstring temp = scratch / L"temp";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        testing_support::RunOptions options;
        testing_support::useTempDirectory(&options, temp);
        options.timeoutMs = kRunTimeoutMs;
        const Expected expected = expectationFor(data);
        ++outcomes_[static_cast<int>(expected)];
        // The frame has no checksum, so a flip in a raw block of the main
        // DLL reaches the disk unnoticed, and the child then runs damaged
        // code. What that does is the application's business, and damaged
        // code may loop for ever.
        if (expected == Expected::DamagedApp) {
            return;
        }
        testing_support::ProcessResult result;
        const auto held = runHeld(exe, options, &result);

        SCOPED_TRACE(what + ", exit code " + std::to_string(result.exitCode) + ", output '" +
                     result.standardOutput + "', errors '" + result.standardError + "'");
        ASSERT_FALSE(result.timedOut);
        checkOutcome(expected, result);
        EXPECT_FALSE(wroteToRealTemp(result.processId)) << "a run wrote to the real temp directory";
        for (const std::wstring& file : testing_support::listFiles(scratch.path())) {
            const bool inTarget = file.rfind(L"temp\\CorvellinthOnefile\\onefile_", 0) == 0;
            EXPECT_TRUE(file == L"damaged.exe" || inTarget) << testing_support::narrow(file);
        }
        if (result.exitCode == 0) {
            EXPECT_THAT(testing_support::listFiles(temp), ::testing::IsEmpty());
        }
    }

    static void checkOutcome(Expected expected, const testing_support::ProcessResult& result) {
        using ::testing::HasSubstr;
        using ::testing::StartsWith;
        const std::string output = result.standardOutput + result.standardError;
        const bool writeFailed = output.find(kOpenMessage) != std::string::npos ||
                                 output.find(kWriteMessage) != std::string::npos;
        switch (expected) {
        case Expected::HeaderFailure:
            EXPECT_EQ(result.exitCode, 2u);
            EXPECT_THAT(result.standardOutput, StartsWith(kHeaderMessage));
            break;
        case Expected::StreamFailure:
            EXPECT_EQ(result.exitCode, 2u);
            EXPECT_TRUE(writeFailed || result.standardOutput.rfind(kDecodeMessage, 0) == 0);
            break;
        case Expected::Runs:
            EXPECT_TRUE(result.exitCode == 0 || (result.exitCode == 2 && writeFailed));
            break;
        case Expected::NoApplication:
            EXPECT_EQ(result.exitCode, 2u);
            EXPECT_THAT(output, HasSubstr("Error, "));
            break;
        case Expected::DamagedApp:
            break; // not run
        }
    }

    static std::vector<packer::Entry> entries_;
    static std::string* attachedData_;
    int outcomes_[5] = {}; // runs per Expected value, in this test
};

std::vector<packer::Entry> DamagedPackage::entries_;
std::string* DamagedPackage::attachedData_ = nullptr;

TEST_F(DamagedPackage, TruncatedAtEvenlySpacedLengths) {
    const std::string& data = *attachedData_;
    ASSERT_GT(data.size(), 300000u);
    // From 1 byte on: a packaged executable cannot carry empty attached data.
    for (std::size_t index = 0; index < kTruncations; ++index) {
        if (!isThisLaunchersCase(index)) {
            continue;
        }
        const std::size_t length = 1 + index * (data.size() - 1) / kTruncations;
        runDamaged(data.substr(0, length), "truncated to " + std::to_string(length));
        if (HasFatalFailure()) {
            return;
        }
    }
    // Truncation never leaves a complete stream, except at the very end.
    EXPECT_EQ(outcomes_[static_cast<int>(Expected::Runs)], 0);
}

TEST_F(DamagedPackage, SingleBitsFlipped) {
    const std::string& data = *attachedData_;
    for (std::size_t index = 0; index < kBitFlips; ++index) {
        if (!isThisLaunchersCase(index)) {
            continue;
        }
        // Evenly spread offsets, each with another bit; the first flips hit
        // the header.
        const std::size_t offset = index < 3 ? index : index * data.size() / kBitFlips + index % 7;
        std::string damaged = data;
        damaged[offset] = static_cast<char>(damaged[offset] ^ (1 << (index % 8)));
        runDamaged(damaged, "bit " + std::to_string(index % 8) + " of byte " +
                                std::to_string(offset) + " flipped");
        if (HasFatalFailure()) {
            return;
        }
    }
    printf("outcomes: header %d, stream %d, runs %d, no application %d, damaged DLL %d\n",
           outcomes_[0], outcomes_[1], outcomes_[2], outcomes_[3], outcomes_[4]);
}

} // namespace
