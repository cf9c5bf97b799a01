// The command line of onefile-pack.
#ifndef CORVELLINTH_TOOLS_PACKER_COMMAND_LINE_H
#define CORVELLINTH_TOOLS_PACKER_COMMAND_LINE_H

#include <optional>
#include <string>
#include <vector>

namespace packer {

// Measured with bench/levels (docs/benchmarks.md, "The packer: levels and
// memory"): level 12 packs the 1.1 GB real-files tree in well under a
// minute on two cores, within 4 % of the smallest output; above 19 nothing
// gets smaller with the format's 2 MiB window.
inline constexpr int kDefaultLevel = 12;
inline constexpr int kBestLevel = 19;
inline constexpr int kMinimumLevel = 1;
inline constexpr int kMaximumLevel = 22;
inline constexpr int kMaximumThreads = 256;
inline constexpr std::size_t kLongestIdentityText = 256; // UTF-16 code units

enum class Mode {
    pack,              // DIR -> OUT.exe
    embedAttachedData, // --attached-data FILE -> OUT.exe
    writeAttachedData, // DIR -> --write-attached-data FILE
    list,              // --list EXE
    help,
};

// Which of the launchers beside the packer a package is made from.
enum class LauncherKind {
    windowed, // --windowed, the default: Corvellinth.exe, GUI subsystem
    console,  // --console: CorvellinthConsole.exe, console subsystem
    linuxElf, // --linux: corvellinth, an ELF executable
};

// What the version record says, when any of it is given.
struct Identity {
    std::optional<std::string> name;           // --name
    std::optional<std::string> company;        // --company
    std::optional<std::string> product;        // --product
    std::optional<std::string> description;    // --description
    std::optional<std::string> fileVersion;    // --file-version, checked
    std::optional<std::string> productVersion; // --product-version, checked
    std::optional<std::string> copyright;      // --copyright

    bool any() const {
        return name || company || product || description || fileVersion || productVersion ||
               copyright;
    }
};

struct CommandLine {
    Mode mode = Mode::pack;
    std::string directory; // DIR
    std::string mainName;  // --main
    std::string output;    // --output
    std::string launcher;  // --launcher; empty: the launcherKind's beside the packer
    // --windowed, --console or --linux; unset: windowed, or whatever
    // Windows launcher --launcher names.
    std::optional<LauncherKind> launcherKind;
    std::string attachedData; // --attached-data or --write-attached-data
    std::string listed;       // --list
    std::string icon;         // --icon; empty: the launcher's
    Identity identity;
    int level = kDefaultLevel; // --level, or kBestLevel with --best
    int threads = 0;           // --threads; 0: one per processor
    bool quiet = false;        // --quiet
    bool checksum = true;      // false with --no-checksum
    bool cache = false;        // --cache: runs reuse one unpacked copy
    std::string cacheLocation; // --cache-location; empty: kDefaultCacheLocation
    std::string signCommand;   // --sign-command, with {in} and {out}; empty: no signing
};

// Parses the arguments after the program name (UTF-8). Throws PackError
// with exit code kExitUsage for an unknown option, a missing or bad value,
// an option given twice or not fitting the mode, or a missing operand.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The text of --help.
const char* usageText();

} // namespace packer

#endif
