// Starting the launcher's own executable as the child and waiting for it.
//
// The child ends with the parent, however the parent ends (killed too): it
// is created suspended inside a job that kills what is in it when its last
// handle closes, and only then resumed, so it runs no instruction outside
// the job. Created inside the job, it is never outside it: a parent killed
// between the child's creation and a later assignment would leave the child
// suspended for ever. Systems without that attribute (before Windows 10)
// get the child assigned right after its creation. The parent's handle to
// the job is never closed; the system closes it when the parent ends.
// Processes that the application starts break away from the job silently
// and live on as they would without the launcher. A system that refuses the
// job runs the child without it.
//
// Handle protocol with the console control handler: the parent keeps the
// original process handle for its own wait and publishes a duplicate in
// childProcess. Whoever exchanges the duplicate out of the variable owns it,
// so each handle is waited on only while valid and closed exactly once, even
// when the handler thread runs during the wait.
#include "launcher/child_launch.h"

#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"
#include "launcher/cleanup.h"
#include "launcher/quoting.h"
#include "launcher/state.h"
#include "launcher/sweep.h"
#include "paths/environment.h"
#include "paths/executable_path.h"
#include "paths/wide_text.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kLauncherDirectoryCapacity = 4097;
constexpr DWORD kOwnPathCapacity = 4096;
constexpr std::size_t kCommandLineCapacity = 32768;
constexpr UINT kNeverResumedExitCode = 1; // nobody reads it
// An attribute list of one attribute takes 48 bytes on 64-bit Windows and
// Wine; the size the system asks for is checked against this.
constexpr std::size_t kAttributeListCapacity = 64;
// The sweep competes with the application's start for the disk and, under
// Wine, for its one server process: the application gets this head start.
constexpr DWORD kSweepHeadStartMs = 1000;

// Process-wide, main thread only; launcher/state.h lists them all.
wchar_t launcherDirectory[kLauncherDirectoryCapacity];
wchar_t ownExecutablePath[kOwnPathCapacity];
wchar_t commandLine[kCommandLineCapacity];
HANDLE childJob = nullptr;
alignas(8) unsigned char childAttributes[kAttributeListCapacity];

// TAMBRO_ONEFILE_DIRECTORY: the plain path without its last component.
void publishLauncherDirectory() {
    WideText directory = startWideText(launcherDirectory, kLauncherDirectoryCapacity);
    appendWide(&directory, getExecutablePath(false));
    const wchar_t* const lastSeparator = wcsrchr(launcherDirectory, L'\\');
    if (lastSeparator != nullptr) {
        truncateWideText(&directory, static_cast<std::size_t>(lastSeparator - launcherDirectory));
    }
    setEnvironmentValueA(environment::kDirectory, launcherDirectory);
}

// The child's image. A result equal to the capacity means the name was
// truncated: launching that would start some other file, so it ends the
// process like a failed call does.
void fillOwnExecutablePath() {
    if (ownExecutablePath[0] != 0) {
        return;
    }
    const DWORD length =
        systemCalls.getModuleFileName(nullptr, ownExecutablePath, kOwnPathCapacity);
    if (length == 0 || length >= kOwnPathCapacity) {
        abnormalEnd();
    }
}

// The user's arguments as this process received them, quoted back into a
// command line whose program name is the own executable's full path.
void buildChildCommandLine() {
    int count = 0;
    wchar_t** const arguments = applicationArguments(&count);
    WideText text = startWideText(commandLine, kCommandLineCapacity);
    if (arguments == nullptr) {
        return;
    }
    appendQuotedArguments(&text, arguments, static_cast<std::size_t>(count));
}

// A job that kills the processes in it when its last handle closes, and
// lets the processes they start leave it without asking. Null when the
// system refuses it.
HANDLE createChildJob() {
    const HANDLE job = systemCalls.createJobObject(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!systemCalls.setInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                             sizeof(limits))) {
        systemCalls.closeHandle(job);
        return nullptr;
    }
    return job;
}

// The child's job, kept for the rest of the process; null when the system
// refuses it.
void prepareChildJob() {
    // Only a test launches more than one child; each earlier child is over.
    if (childJob != nullptr) {
        systemCalls.closeHandle(childJob);
    }
    childJob = createChildJob();
}

// An attribute list that creates a process inside childJob, in
// childAttributes; null when the system has no such attribute or no job.
LPPROC_THREAD_ATTRIBUTE_LIST makeJobAttributeList() {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (childJob == nullptr || size == 0 || size > kAttributeListCapacity) {
        return nullptr;
    }
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(childAttributes);
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        return nullptr;
    }
    if (!systemCalls.updateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &childJob,
                                               sizeof(childJob), nullptr, nullptr)) {
        DeleteProcThreadAttributeList(list);
        return nullptr;
    }
    return list;
}

// Creates the child suspended, inside childJob when the system can; one
// that cannot create it there (nested jobs refused, say) creates it outside
// as before. True when the child was created inside the job.
bool createSuspendedChild(STARTUPINFOEXW* startup, PROCESS_INFORMATION* child) {
    constexpr DWORD kFlags = NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED;
    startup->lpAttributeList = makeJobAttributeList();
    if (startup->lpAttributeList != nullptr) {
        startup->StartupInfo.cb = sizeof(*startup);
        const BOOL created = systemCalls.createProcess(
            ownExecutablePath, commandLine, nullptr, nullptr, TRUE,
            kFlags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup->StartupInfo, child);
        DeleteProcThreadAttributeList(startup->lpAttributeList);
        startup->lpAttributeList = nullptr;
        if (created) {
            return true;
        }
    }
    startup->StartupInfo.cb = sizeof(startup->StartupInfo);
    if (!systemCalls.createProcess(ownExecutablePath, commandLine, nullptr, nullptr, TRUE, kFlags,
                                   nullptr, nullptr, &startup->StartupInfo, child)) {
        fatalSystemError("Error, couldn't launch child", GetLastError());
    }
    return false;
}

// Puts the suspended child into its job unless it was created there, then
// lets it run. A refused job or assignment leaves the child outside any job
// of ours. A child that cannot be resumed would never end, so it is
// terminated, and that ends the parent like a failed start.
void startChildInJob(const PROCESS_INFORMATION& child, bool createdInJob) {
    if (childJob != nullptr && !createdInJob) {
        systemCalls.assignProcessToJobObject(childJob, child.hProcess);
    }
    if (systemCalls.resumeThread(child.hThread) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        TerminateProcess(child.hProcess, kNeverResumedExitCode);
        fatalSystemError("Error, couldn't launch child", error);
    }
}

// A duplicate for the console handler; without one the handler simply
// finds no child, and the child still gets the console event itself.
void publishChildHandle(HANDLE process) {
    HANDLE duplicate = nullptr;
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, process, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        duplicate = nullptr;
    }
    childProcess.store(duplicate);
}

// The exit code is published before the duplicate is taken back: a
// console handler that then finds no handle ends with the same code.
DWORD waitForChild(HANDLE process) {
    WaitForSingleObject(process, INFINITE);
    const DWORD exitCode = exitCodeOfEndedProcess(process);
    childExitCode.store(exitCode);
    const HANDLE published = childProcess.exchange(nullptr);
    if (published != nullptr) {
        systemCalls.closeHandle(published);
    }
    systemCalls.closeHandle(process);
    return exitCode;
}

// A handle that the console serves; anything else (a file, a pipe, none)
// was redirected by whoever started the launcher.
bool isConsoleHandle(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// With all three standard handles on the console the child is given none:
// it shares the console and takes the console's own handles, as a program
// started there directly does. Otherwise it gets the parent's three,
// redirected or not.
void passStandardHandles(STARTUPINFOW* startup) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (isConsoleHandle(input) && isConsoleHandle(output) && isConsoleHandle(error)) {
        return;
    }
    startup->dwFlags = STARTF_USESTDHANDLES;
    startup->hStdInput = input;
    startup->hStdOutput = output;
    startup->hStdError = error;
}

} // namespace

void publishRunVariables() {
    publishLauncherDirectory();
    setEnvironmentValueA(environment::kOriginalArgv0, __wargv != nullptr ? __wargv[0] : nullptr);
}

// The vector from CommandLineToArgvW is never freed: the process needs it
// (the application gets it) or ends soon.
wchar_t** applicationArguments(int* count) {
    fillOwnExecutablePath();
    *count = 0;
    wchar_t** const arguments = CommandLineToArgvW(GetCommandLineW(), count);
    if (arguments == nullptr || *count <= 0) {
        *count = 0;
        return nullptr;
    }
    arguments[0] = ownExecutablePath;
    return arguments;
}

void setRuntimeArgumentsToApplications() {
    int count = 0;
    wchar_t** const arguments = applicationArguments(&count);
    if (arguments != nullptr) {
        __argc = count;
        __wargv = arguments;
    }
}

DWORD launchChildAndWait() {
    publishRunVariables();
    fillOwnExecutablePath();

    STARTUPINFOEXW startup{};
    passStandardHandles(&startup.StartupInfo);

    buildChildCommandLine();

    prepareChildJob();
    PROCESS_INFORMATION child{};
    const bool createdInJob = createSuspendedChild(&startup, &child);
    startChildInJob(child, createdInJob);
    systemCalls.closeHandle(child.hThread);
    publishChildHandle(child.hProcess);
    // While the application runs, never before it starts.
    WaitForSingleObject(child.hProcess, kSweepHeadStartMs);
    sweepFinishedRuns();

    const DWORD exitCode = waitForChild(child.hProcess);
    cleanupOnExit();
    return exitCode;
}
