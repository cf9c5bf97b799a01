// Which names the sweep takes for run directories: exactly what the unpack
// spec writes, and nothing that only resembles it.
#include <gtest/gtest.h>

#include <string>

#include "launcher/run_name.h"

namespace {

struct Parsed {
    bool isRun;
    std::uint32_t processId;
    std::uint64_t startTime;
};

Parsed parse(const std::wstring& name) {
    RunName run{0xDEAD, 0xBEEF};
    const bool isRun = parseRunDirectoryName(name.c_str(), &run);
    return {isRun, run.processId, run.startTime};
}

TEST(NativeRunName, TakesTheNumbersAsTheUnpackSpecWritesThem) {
    const Parsed typical = parse(L"onefile_4242_134412148243131605");
    EXPECT_TRUE(typical.isRun);
    EXPECT_EQ(typical.processId, 4242u);
    EXPECT_EQ(typical.startTime, 134412148243131605u);
    const Parsed zeros = parse(L"onefile_0_0");
    EXPECT_TRUE(zeros.isRun);
    EXPECT_EQ(zeros.processId, 0u);
    EXPECT_EQ(zeros.startTime, 0u);
    // The largest values "%ld" and "%lld" write without a sign.
    const Parsed largest = parse(L"onefile_2147483647_9223372036854775807");
    EXPECT_TRUE(largest.isRun);
    EXPECT_EQ(largest.processId, 2147483647u);
    EXPECT_EQ(largest.startTime, 9223372036854775807u);
}

TEST(NativeRunName, RefusesEverythingThatOnlyResemblesARunsName) {
    for (const std::wstring name : {L"",
                                    L"onefile_",
                                    L"onefile__1",
                                    L"onefile_1_",
                                    L"onefile_1",
                                    L"onefile_12",
                                    L"Onefile_1_2",
                                    L"ONEFILE_1_2",
                                    L"xonefile_1_2",
                                    L" onefile_1_2",
                                    L"onefile_1_2 ",
                                    L"onefile_1_2.old",
                                    L"onefile_1_2_3",
                                    L"onefile_1__2",
                                    L"onefile_1_2x",
                                    L"onefile_01_2",
                                    L"onefile_1_02",
                                    L"onefile_00_2",
                                    L"onefile_+1_2",
                                    L"onefile_-1_2",
                                    L"onefile_1_-2",
                                    L"onefile_ 1_2",
                                    L"onefile_1_ 2",
                                    L"onefile_1\\2",
                                    L"onefile_\x0661_2",               // an Arabic-Indic digit
                                    L"onefile_2147483648_1",           // written negative by "%ld"
                                    L"onefile_99999999999_1",          // beyond 32 bits
                                    L"onefile_1_9223372036854775808",  // written negative by "%lld"
                                    L"onefile_1_99999999999999999999", // beyond 64 bits
                                    L"onefile_1_184467440737095516160"}) {
        EXPECT_FALSE(parse(name).isRun) << std::string(name.begin(), name.end());
    }
}

} // namespace
