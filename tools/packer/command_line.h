// The command line of onefile-pack.
#ifndef CORVELLINTH_TOOLS_PACKER_COMMAND_LINE_H
#define CORVELLINTH_TOOLS_PACKER_COMMAND_LINE_H

#include <string>
#include <vector>

namespace packer {

inline constexpr int kDefaultLevel = 19;
inline constexpr int kMinimumLevel = 1;
inline constexpr int kMaximumLevel = 22;
inline constexpr int kMaximumThreads = 256;

enum class Mode {
    Pack,              // DIR -> OUT.exe
    EmbedAttachedData, // --attached-data FILE -> OUT.exe
    WriteAttachedData, // DIR -> --write-attached-data FILE
    List,              // --list EXE
    Help,
};

struct CommandLine {
    Mode mode = Mode::Pack;
    std::wstring directory;    // DIR
    std::wstring mainName;     // --main
    std::wstring output;       // --output
    std::wstring launcher;     // --launcher; empty: Corvellinth.exe beside the packer
    std::wstring attachedData; // --attached-data or --write-attached-data
    std::wstring listed;       // --list
    int level = kDefaultLevel; // --level
    int threads = 0;           // --threads; 0: one per processor
    bool quiet = false;        // --quiet
};

// Parses the arguments after the program name. Throws PackError with exit
// code kExitUsage for an unknown option, a missing or bad value, an option
// given twice or not fitting the mode, or a missing operand.
CommandLine parseCommandLine(const std::vector<std::wstring>& arguments);

// The text of --help.
const wchar_t* usageText();

} // namespace packer

#endif
