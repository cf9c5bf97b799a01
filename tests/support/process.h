// Starting Windows programs from the tests and collecting what they did.
#ifndef CORVELLINTH_TESTS_SUPPORT_PROCESS_H
#define CORVELLINTH_TESTS_SUPPORT_PROCESS_H

#include <windows.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
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

    // How the run ended, for messages: "exit code 7", "ended by exception
    // 0xC0000005 (access violation)" for the code of a crash (a program may
    // also exit with such a code itself), or "killed at its time-out".
    std::string ending() const;
};

// Options that start a program without the launcher's four variables,
// whatever the test process itself carries.
RunOptions cleanOptions();

// Points TMP and TEMP of the started program at directory, so that what a
// launcher unpacks lands where the test can see and remove it.
void useTempDirectory(RunOptions* options, const std::wstring& directory);

// cleanOptions with TMP and TEMP at directory: a run of its own that the
// test can watch.
RunOptions privateTempOptions(const std::wstring& directory);

// Quotes one argument the way CommandLineToArgvW splits it.
std::wstring quoteArgument(const std::wstring& argument);

// Runs program with arguments (program itself becomes argument 0), with
// pipes for the three standard streams, and waits for it. A launcher that
// Wine refused to start the application for (isWineLaunchRefusal) is run
// again, up to twice: that refusal says nothing about the launcher.
ProcessResult runProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const RunOptions& options = {});

// runProcess on a thread of its own, so that the test can act while the
// program runs. The process id is known once the constructor returns (0
// when the program could not be started), and a handle to it is kept, so
// the id cannot pass to another process while the object lives.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                      RunOptions options);
    ~BackgroundProcess(); // waits for the program's end
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    DWORD processId() const { return processId_; }
    // TerminateProcess, as Task Manager or a job's time-out would end it.
    bool terminate(DWORD exitCode);
    // Waits up to timeoutMs for the program itself to end (its output may
    // still be coming from processes it started); true when it has.
    bool hasEnded(DWORD timeoutMs) const;
    // Waits for the end; its result, once.
    ProcessResult finish();
    // From the start to the end (after finish).
    double seconds() const;

  private:
    using Clock = std::chrono::steady_clock;
    std::promise<DWORD> known_;
    DWORD processId_ = 0;
    HANDLE process_ = nullptr;
    ProcessResult result_;
    Clock::time_point started_;
    Clock::time_point ended_;
    std::thread thread_;
};

// A launcher's run that ended because Wine, under load, refused to start
// its child at all (ERROR_INTERNAL_ERROR), as it now and then does. Such a
// run is started again, up to kRefusedLaunchRetries times.
bool isWineLaunchRefusal(const ProcessResult& result);
inline constexpr int kRefusedLaunchRetries = 2;

// Waits up to timeoutMs for the file that testapp's "mark" writes at path,
// for as long as writer (the process that marks, or one that starts it)
// runs. The process id in the file, or 0 when none came.
DWORD awaitMark(const std::wstring& path, const BackgroundProcess& writer, DWORD timeoutMs);

// A background run that marks, started by startMarked.
struct MarkedRun {
    std::unique_ptr<BackgroundProcess> process;
    DWORD markedId = 0; // 0: no mark came
    // Why no mark came, for a failure's message.
    std::string why() const;
};

// Starts program in the background and waits for its mark as awaitMark
// does; a run that Wine refused to start the application for is started
// again, up to twice.
MarkedRun startMarked(const std::wstring& program, const std::vector<std::wstring>& arguments,
                      const RunOptions& options, const std::wstring& mark, DWORD timeoutMs);

// Asks condition every 20 ms until it holds (true) or timeoutMs have passed
// (false). For generous limits only, never for measuring.
bool pollUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// The lines of a program's output, without their line breaks ("\r\n" or
// "\n").
std::vector<std::string> outputLines(const std::string& text);

// UTF-8 <-> UTF-16 for messages and file names.
std::string narrow(const std::wstring& text);
std::wstring widen(const std::string& text);

} // namespace testing_support

#endif
