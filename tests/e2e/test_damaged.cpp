// Damaged packages run for real: a valid package (testapp.dll as the main
// file and 250 KB of data, its frame with a content checksum) with single
// bits flipped at evenly spread offsets of the attached data, and truncated
// at evenly spaced lengths, a few runs at a time. Every run ends in time, either with
// the header or the decode message and no run directory left, or having
// run the application with every file exactly as packed: never with a
// damaged file. Nothing is written outside the run directory.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "payload/format.h"
#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using testing_support::pseudoRandomBytes;
using testing_support::ScratchDirectory;

constexpr DWORD kRunTimeoutMs = 30000;
constexpr std::size_t kBitFlips = 80;
constexpr std::size_t kTruncations = 12;
constexpr std::size_t kRunsAtOnce = 8;
constexpr std::size_t kHeaderSize = attached::kHeaderSize;

const char kHeaderMessage[] = "Error, couldn't find attached data header.";
const char kDecodeMessage[] = "Error, couldn't decode attached data.";

std::string text(std::size_t size) {
    std::string result;
    for (int line = 0; result.size() < size; ++line) {
        result += "line " + std::to_string(line) + " of some compressible notes\r\n";
    }
    return result.substr(0, size);
}

// The two CTest runs of this program (the windowed and the console
// launcher, which read damaged data with the same code) share the cases:
// each runs every other one, so that together they run each once.
bool isThisLaunchersCase(std::size_t index) {
    return index % 2 == (testing_support::testsConsoleLauncher() ? 1u : 0u);
}

// How damaged runs ended.
struct Outcomes {
    int header = 0;
    int decode = 0;
    int ranIntact = 0;
};

class DamagedPackage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        entries_ = {testing_support::fileEntry(u"main.dll", testing_support::binaryDirectory() +
                                                                L"\\testapp.dll"),
                    {u"data\\random.bin", pseudoRandomBytes(100000, 7)},
                    {u"data\\notes\\readme.txt", text(150000)},
                    {u"empty.txt", ""},
                    {u"lib\\x\\y\\z.dat", pseudoRandomBytes(5000, 8)}};
        attachedData_ = new std::string(
            packer::writeAttachedData(entries_, testing_support::kTestWriterOptions));
        frameSize_ = ZSTD_findFrameCompressedSize(attachedData_->data() + kHeaderSize,
                                                  attachedData_->size() - kHeaderSize);
    }
    static void TearDownTestSuite() { delete attachedData_; }

    // Other tests run launchers in the real temp directory at the same
    // time, so only a directory named with this run's process id counts.
    static bool wroteToRealTemp(DWORD processId) {
        const std::wstring prefix = L"onefile_" + std::to_wstring(processId) + L"_";
        const std::vector<std::wstring> runs = testing_support::namesIn(
            testing_support::systemTempDirectory() + L"\\CorvellinthOnefile");
        return std::any_of(runs.begin(), runs.end(),
                           [&](const std::wstring& name) { return name.rfind(prefix, 0) == 0; });
    }

    // One damaged package's run, with a temp directory of its own.
    struct DamagedRun {
        std::string what;
        std::unique_ptr<ScratchDirectory> scratch;
        std::unique_ptr<testing_support::BackgroundProcess> process;
        std::wstring exe;
        testing_support::RunOptions options;
    };

    static DamagedRun startDamaged(const std::string& data, const std::string& what) {
        DamagedRun run{what, std::make_unique<ScratchDirectory>(L"dmg"), nullptr, {}, {}};
        const std::wstring exe = testing_support::makePackagedExecutableFromAttachedData(
            *run.scratch / L"damaged.exe", data);
        const std::wstring temp = *run.scratch / L"temp";
        CreateDirectoryW(temp.c_str(), nullptr);
        testing_support::RunOptions options = testing_support::privateTempOptions(temp);
        options.timeoutMs = kRunTimeoutMs;
        run.exe = exe;
        run.options = options;
        start(&run);
        return run;
    }

    // Starts the run's package; its process stays held until the run is
    // checked, so that its id cannot pass to another test's launcher.
    static void start(DamagedRun* run) {
        run->process = std::make_unique<testing_support::BackgroundProcess>(
            run->exe, std::vector<std::wstring>{L"hashes"}, run->options);
    }

    // The run was refused, leaving nothing, or ran with every file intact.
    void checkDamaged(DamagedRun& run) {
        testing_support::ProcessResult result = run.process->finish();
        for (int retry = 0; retry < testing_support::kRefusedLaunchRetries &&
                            testing_support::isWineLaunchRefusal(result);
             ++retry) {
            // Wine's refusal says nothing about the launcher: run it again,
            // as runProcess does.
            start(&run);
            result = run.process->finish();
        }
        SCOPED_TRACE(run.what + ", exit code " + std::to_string(result.exitCode) + ", output '" +
                     result.standardOutput.substr(0, 300) + "', errors '" + result.standardError +
                     "'");
        ASSERT_FALSE(result.timedOut);
        const std::string& output = result.standardOutput;
        if (result.exitCode == 0) {
            EXPECT_EQ(testing_support::hashLinesIn(output),
                      testing_support::expectedHashLines(entries_))
                << "a run with a damaged or missing file";
            ++outcomes_.ranIntact;
        } else {
            EXPECT_EQ(result.exitCode, 2u);
            const bool header = output.rfind(kHeaderMessage, 0) == 0;
            EXPECT_TRUE(header || output.rfind(kDecodeMessage, 0) == 0);
            ++(header ? outcomes_.header : outcomes_.decode);
        }
        EXPECT_THAT(testing_support::listFiles(*run.scratch / L"temp"), ::testing::IsEmpty());
        EXPECT_FALSE(wroteToRealTemp(result.processId)) << "a run wrote to the real temp directory";
    }

    // Runs each damage of the attached data (a name and what it makes of
    // the bytes), a few at a time: a run mostly waits for Wine.
    using Damage = std::pair<std::string, std::function<std::string(const std::string&)>>;
    void runDamaged(const std::vector<Damage>& allDamages) {
        std::vector<const Damage*> damages;
        for (std::size_t index = 0; index < allDamages.size(); ++index) {
            if (isThisLaunchersCase(index)) {
                damages.push_back(&allDamages[index]);
            }
        }
        for (std::size_t first = 0; first < damages.size(); first += kRunsAtOnce) {
            std::vector<DamagedRun> runs;
            for (std::size_t index = first; index < damages.size() && index < first + kRunsAtOnce;
                 ++index) {
                runs.push_back(
                    startDamaged(damages[index]->second(*attachedData_), damages[index]->first));
            }
            for (DamagedRun& run : runs) {
                checkDamaged(run);
            }
            if (HasFatalFailure()) {
                return;
            }
        }
    }

    static std::vector<packer::Entry> entries_;
    static std::string* attachedData_;
    static std::size_t frameSize_;
    Outcomes outcomes_;
};

std::vector<packer::Entry> DamagedPackage::entries_;
std::string* DamagedPackage::attachedData_ = nullptr;
std::size_t DamagedPackage::frameSize_ = 0;

// The three header bytes, the frame header's first bytes, and offsets spread
// evenly over the rest of the frame, each with another bit. What lies
// after the frame is never read.
TEST_F(DamagedPackage, NoFlippedBitEverRunsADamagedFile) {
    ASSERT_FALSE(ZSTD_isError(frameSize_));
    ASSERT_EQ(attachedData_->compare(0, kHeaderSize, "KAY"), 0);
    std::set<std::size_t> offsets = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    for (std::size_t index = 0; index < kBitFlips; ++index) {
        offsets.insert(kHeaderSize + index * frameSize_ / kBitFlips + index % 7);
    }
    std::vector<Damage> damages;
    for (const std::size_t offset : offsets) {
        const int bit = static_cast<int>(offset % 8);
        damages.push_back(
            {"bit " + std::to_string(bit) + " of byte " + std::to_string(offset) + " flipped",
             [offset, bit](const std::string& data) {
                 std::string damaged = data;
                 damaged[offset] = static_cast<char>(damaged[offset] ^ (1 << bit));
                 return damaged;
             }});
    }
    runDamaged(damages);
    printf("outcomes: header %d, decode %d, ran intact %d\n", outcomes_.header, outcomes_.decode,
           outcomes_.ranIntact);
    int headerCases = 0;
    for (std::size_t index = 0; index < kHeaderSize; ++index) {
        headerCases += isThisLaunchersCase(index) ? 1 : 0;
    }
    EXPECT_EQ(outcomes_.header, headerCases);
    EXPECT_GT(outcomes_.decode, static_cast<int>(kBitFlips / 2) * 9 / 10);
}

// Cut anywhere in the frame, up to its last byte: nothing runs.
TEST_F(DamagedPackage, TruncatedDataNeverRuns) {
    const std::size_t frameEnd = kHeaderSize + frameSize_;
    std::vector<Damage> damages;
    for (std::size_t index = 0; index < kTruncations; ++index) {
        const std::size_t length = 1 + index * (frameEnd - 2) / (kTruncations - 1);
        damages.push_back({"truncated to " + std::to_string(length),
                           [length](const std::string& data) { return data.substr(0, length); }});
    }
    runDamaged(damages);
    EXPECT_EQ(outcomes_.ranIntact, 0);
}

} // namespace
