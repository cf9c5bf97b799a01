// The bounded wide text under the sanitizers: every buffer is exactly its
// capacity on the heap, so a write past it is caught; an abnormal end comes
// back as LauncherExit through the diagnostics seam.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "paths/wide_text.h"
#include "tests/native/support/launcher_exit.h"

namespace {

using native_support::LauncherExit;

bool endsAbnormally(const std::function<void()>& statement) {
    try {
        statement();
    } catch (const LauncherExit& exit) {
        return exit.exitCode == native_support::kAbnormalExitCode;
    }
    return false;
}

class WideTextTest : public ::testing::Test {
  protected:
    WideText start(std::size_t capacity) {
        buffer_ = std::make_unique<wchar_t[]>(capacity);
        return startWideText(buffer_.get(), capacity);
    }
    // Holds prefix, terminated, in a buffer of exactly capacity units.
    WideText holding(const std::wstring& prefix, std::size_t capacity) {
        buffer_ = std::make_unique<wchar_t[]>(capacity);
        prefix.copy(buffer_.get(), prefix.size());
        buffer_[prefix.size()] = L'\0';
        return continueWideText(buffer_.get(), capacity);
    }
    std::unique_ptr<wchar_t[]> buffer_;
};

TEST_F(WideTextTest, TheTerminatorMustFitBehindEveryAppend) {
    WideText text = holding(L"ab", 6);
    EXPECT_EQ(text.length, 2u);
    appendWide(&text, L"cde");
    EXPECT_EQ(std::wstring(text.buffer), L"abcde");
    EXPECT_EQ(text.length, 5u);
    EXPECT_TRUE(endsAbnormally([&] { appendWideUnit(&text, L'f'); }));

    text = holding(L"ab", 5);
    EXPECT_TRUE(endsAbnormally([&] { appendWide(&text, L"cde"); }));
    text = holding(L"ab", 5);
    EXPECT_TRUE(endsAbnormally([&] { appendNarrowAsWide(&text, "cde"); }));
    text = holding(L"ab", 5);
    EXPECT_TRUE(endsAbnormally([&] { appendWideUnit(&text, L'\\', 3); }));
    text = holding(L"ab", 5);
    appendWideUnit(&text, L'\\', 2);
    EXPECT_EQ(std::wstring(text.buffer), L"ab\\\\");
}

TEST_F(WideTextTest, ALiteralThatDoesNotFitIsRefusedAndChangesNothing) {
    WideText text = start(4);
    EXPECT_TRUE(tryAppendWideUnits(&text, L"xyz", 3));
    EXPECT_FALSE(tryAppendWideUnits(&text, L"!", 1));
    EXPECT_EQ(std::wstring(text.buffer), L"xyz");
    EXPECT_EQ(text.length, 3u);
    // A count that would wrap an unchecked sum is refused as well.
    EXPECT_FALSE(tryAppendWideUnits(&text, L"", static_cast<std::size_t>(-1)));
    EXPECT_EQ(text.length, 3u);
}

TEST_F(WideTextTest, NarrowTextWidensByteByByte) {
    WideText text = holding(L"ab", 7);
    appendNarrowAsWide(&text, "cd");
    appendNarrowAsWide(&text, "");
    EXPECT_EQ(std::wstring(text.buffer), L"abcd");
    // In the C locale a byte above 0x7F is no character of its own.
    EXPECT_TRUE(endsAbnormally([&] { appendNarrowAsWide(&text, "\xff"); }));
}

TEST_F(WideTextTest, NullSourcesAndBuffersWithoutRoomEndAbnormally) {
    WideText text = start(8);
    EXPECT_TRUE(endsAbnormally([&] { appendWide(&text, nullptr); }));
    EXPECT_TRUE(endsAbnormally([&] { appendNarrowAsWide(&text, nullptr); }));
    EXPECT_TRUE(endsAbnormally([&] { start(0); }));
    buffer_ = std::make_unique<wchar_t[]>(3);
    std::fill(buffer_.get(), buffer_.get() + 3, L'x');
    EXPECT_TRUE(endsAbnormally([&] { continueWideText(buffer_.get(), 3); }));
}

TEST_F(WideTextTest, TruncationAndForeignWritersKeepTheLengthExact) {
    WideText text = start(8);
    appendWide(&text, L"a\\b\\");
    truncateWideText(&text, 3);
    EXPECT_EQ(std::wstring(text.buffer), L"a\\b");
    EXPECT_TRUE(endsAbnormally([&] { truncateWideText(&text, 4); }));

    // A writer given the room (5 units here) that fills it exactly.
    EXPECT_EQ(wideTextRoom(text), 5u);
    std::wstring(L"wxyz").copy(wideTextEnd(text), 4);
    wideTextEnd(text)[4] = L'\0';
    adoptWrittenText(&text);
    EXPECT_EQ(text.length, 7u);
    EXPECT_EQ(std::wstring(text.buffer), L"a\\bwxyz");
    EXPECT_EQ(wideTextRoom(text), 1u);
    // One that leaves no terminator behind its text.
    wideTextEnd(text)[0] = L'!';
    EXPECT_TRUE(endsAbnormally([&] { adoptWrittenText(&text); }));
}

} // namespace
