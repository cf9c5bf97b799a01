// Starting Windows programs from the tests and collecting what they did.
#ifndef CORVELLINTH_TESTS_SUPPORT_PROCESS_H
#define CORVELLINTH_TESTS_SUPPORT_PROCESS_H

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct RunOptions {
    std::string standardInput;                                       // written, then closed
    std::map<std::wstring, std::optional<std::wstring>> environment; // nullopt removes
    std::wstring currentDirectory;                                   // empty: the test's own
    DWORD timeoutMs = 120000; // the process is killed after it
    std::wstring commandLine; // when set, used verbatim
    // When set, the program is started suspended and this runs with its
    // process id before it runs a single instruction.
    std::function<void(DWORD processId)> beforeStart;
    // Standard error goes into the standard output's pipe, as 2>&1 does.
    bool errorIntoOutput = false;
    DWORD creationFlags = 0; // added to CreateProcessW's
};

struct ProcessResult {
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string standardOutput;
    std::string standardError;
    DWORD processId = 0;
};

// Options that start a program without the launcher's four variables,
// whatever the test process itself carries.
RunOptions cleanOptions();

// Points TMP and TEMP of the started program at directory, so that what a
// launcher unpacks lands where the test can see and remove it.
void useTempDirectory(RunOptions* options, const std::wstring& directory);

// Quotes one argument the way CommandLineToArgvW splits it.
std::wstring quoteArgument(const std::wstring& argument);

// Runs program with arguments (program itself becomes argument 0), with
// pipes for the three standard streams, and waits for it.
ProcessResult runProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const RunOptions& options = {});

// UTF-8 <-> UTF-16 for messages and file names.
std::string narrow(const std::wstring& text);
std::wstring widen(const std::string& text);

} // namespace testing_support

#endif
