// The version record (RT_VERSION) that names an application in Explorer
// and Task Manager: a fixed part with the numeric versions, one string
// table in US English, Unicode, and its translation entry.
#ifndef CORVELLINTH_TOOLS_PACKER_VERSION_RECORD_H
#define CORVELLINTH_TOOLS_PACKER_VERSION_RECORD_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace packer {

using VersionNumbers = std::array<std::uint16_t, 4>;

struct VersionRecord {
    VersionNumbers fileVersion{};
    VersionNumbers productVersion{};
    // (key, UTF-8 value) in the order they are written, e.g.
    // {"CompanyName", "Example Ltd"}.
    std::vector<std::pair<std::string, std::string>> strings;
};

// "1", "1.2", "1.2.3" or "1.2.3.4", each part 0 to 65535 in decimal;
// missing parts are 0. Nothing for anything else.
std::optional<VersionNumbers> parseVersionNumbers(std::string_view text);

// The resource's bytes (VS_VERSIONINFO). Values must be valid UTF-8.
std::string makeVersionRecord(const VersionRecord& record);

} // namespace packer

#endif
