// The extended-length form of paths under the sanitizers: each kind of path,
// and the capacity held exactly (a path that does not fit leaves the text
// as it was and is handed to the system as it is).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "paths/extended_path.h"

namespace {

// The extended form of path in a buffer of exactly capacity units, behind
// prefix; when it does not fit, "!" and what the buffer holds then.
std::wstring extended(const std::wstring& path, std::size_t capacity,
                      const std::wstring& prefix = L"") {
    const auto buffer = std::make_unique<wchar_t[]>(capacity);
    WideText text = startWideText(buffer.get(), capacity);
    if (!tryAppendWideUnits(&text, prefix.c_str(), prefix.size())) {
        return L"?";
    }
    if (!appendExtendedPath(&text, path.c_str())) {
        return L"!" + std::wstring(buffer.get());
    }
    return buffer.get();
}

TEST(NativeExtendedPath, EachKindOfPathGetsItsForm) {
    EXPECT_EQ(extended(L"C:\\a\\b", 64), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(extended(L"C:/a/b", 64), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(extended(L"\\\\server\\share\\x", 64), L"\\\\?\\UNC\\server\\share\\x");
    EXPECT_EQ(extended(L"//server/share/x", 64), L"\\\\?\\UNC\\server\\share\\x");
    // Already extended or a device path: as it is.
    EXPECT_EQ(extended(L"\\\\?\\C:\\a", 64), L"\\\\?\\C:\\a");
    EXPECT_EQ(extended(L"\\\\.\\pipe\\x", 64), L"\\\\.\\pipe\\x");
    // Not absolute: the extended form would change the meaning.
    EXPECT_EQ(extended(L"relative\\x", 64), L"relative\\x");
    EXPECT_EQ(extended(L"C:x", 64), L"C:x");
    EXPECT_EQ(extended(L"\\rooted", 64), L"\\rooted");
    EXPECT_EQ(extended(L"", 64), L"");
    // Appended behind what is there.
    EXPECT_EQ(extended(L"C:\\a", 64, L">"), L">\\\\?\\C:\\a");
}

TEST(NativeExtendedPath, TheCapacityHoldsExactlyAndAMissLeavesTheTextAsItWas) {
    // "\\?\C:\ab" is 9 units, 10 with the terminator; "\\?\UNC\s\t" 11.
    EXPECT_EQ(extended(L"C:\\ab", 10), L"\\\\?\\C:\\ab");
    EXPECT_EQ(extended(L"C:\\ab", 9), L"!");
    EXPECT_EQ(extended(L"C:\\ab", 11, L">"), L">\\\\?\\C:\\ab");
    EXPECT_EQ(extended(L"C:\\ab", 10, L">"), L"!>");
    EXPECT_EQ(extended(L"\\\\s\\t", 12), L"\\\\?\\UNC\\s\\t");
    EXPECT_EQ(extended(L"\\\\s\\t", 11), L"!");
}

TEST(NativeExtendedPath, OnlyLongPathsAreHandedOverExtended) {
    const std::wstring shortPath = L"C:\\" + std::wstring(256, L'a'); // 259 units
    const std::wstring longPath = shortPath + L"b";                   // 260 units
    std::wstring buffer(300, L'#');
    EXPECT_EQ(systemPathFor(shortPath.c_str(), kLongFilePath, buffer.data(), buffer.size()),
              shortPath.c_str());
    EXPECT_EQ(
        std::wstring(systemPathFor(longPath.c_str(), kLongFilePath, buffer.data(), buffer.size())),
        L"\\\\?\\" + longPath);
    // No room for the prefix: the path as it is, for the system to refuse.
    EXPECT_EQ(systemPathFor(longPath.c_str(), kLongFilePath, buffer.data(), 262), longPath.c_str());
}

} // namespace
