// stress [--starts N] [--watchdog-seconds S] [--kinds LIST] [--flips N] [--from I]
//        [--log FILE]
//
// A hunt for hangs: starts packaged launchers many times, each under a
// watchdog. A start that outlives its watchdog has the stacks of every
// thread of every process in the prefix written to the log (winedbg "bt
// all") before it and its processes are ended. scripts/stress runs it under
// two busy processes. The kinds of start, taken in turn (LIST, comma
// separated, chooses them and their order; a kind may come more than once;
// by default small,flipped,output,small,flipped,files):
//   small    a small package, windowed and console launcher in turn
//   output   30,000 lines, standard output and error interleaved
//   files    5,000 small files
//   flipped  the sample application packed as onefile-pack packs it, with
//            one bit flipped in its compressed bytes: N evenly spaced flips
//            (48 by default), one per start
// --from I begins each kind's turn at its I-th package (a flip found
// before, say). Every start gives one log line; the last lines count starts, hangs and
// outcomes. Exit code 0 when no start hung, 1 otherwise, 2 on bad usage.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"
#include "tools/packer/command_line.h"

namespace {

using namespace testing_support;

constexpr int kDefaultStarts = 300;
constexpr DWORD kDefaultWatchdogSeconds = 300;
constexpr int kOutputLines = 30000;
constexpr int kSmallFiles = 5000;
constexpr std::size_t kDefaultFlips = 48;
constexpr DWORD kWinedbgTimeoutMs = 120000;
constexpr DWORD kEndedAfterKillMs = 30000;

struct Options {
    int starts = kDefaultStarts;
    DWORD watchdogSeconds = kDefaultWatchdogSeconds;
    std::vector<std::string> kinds = {"small", "flipped", "output", "small", "flipped", "files"};
    std::size_t flips = kDefaultFlips;
    std::size_t from = 0;
    std::wstring log;
};

// One package and what a start of it must give.
struct Start {
    std::string kind;
    std::string what;
    std::wstring exe;
    std::vector<std::wstring> arguments;
    // Empty for a damaged package: any end is an outcome, only a hang is not.
    std::string (*check)(const ProcessResult&) = nullptr;
};

FILE* logFile = stdout;

void logLine(const std::string& line) {
    fprintf(logFile, "%s\n", line.c_str());
    fflush(logFile);
    if (logFile != stdout) {
        printf("%s\n", line.c_str());
        fflush(stdout);
    }
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (std::size_t at = text.find(separator); at != std::string::npos;
         at = text.find(separator, begin)) {
        parts.push_back(text.substr(begin, at - begin));
        begin = at + 1;
    }
    parts.push_back(text.substr(begin));
    return parts;
}

bool parse(int argc, wchar_t** argv, Options* options) {
    for (int index = 1; index + 1 < argc; index += 2) {
        const std::wstring option = argv[index];
        const std::wstring value = argv[index + 1];
        if (option == L"--starts") {
            options->starts = _wtoi(value.c_str());
        } else if (option == L"--watchdog-seconds") {
            options->watchdogSeconds = static_cast<DWORD>(_wtoi(value.c_str()));
        } else if (option == L"--kinds") {
            options->kinds = split(narrow(value), ',');
        } else if (option == L"--flips") {
            options->flips = static_cast<std::size_t>(_wtoi(value.c_str()));
        } else if (option == L"--from") {
            options->from = static_cast<std::size_t>(_wtoi(value.c_str()));
        } else if (option == L"--log") {
            options->log = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options->starts > 0 && options->watchdogSeconds > 0 &&
           options->flips > 0;
}

int countLines(const std::string& text, const std::string& prefix) {
    int count = 0;
    for (std::size_t at = 0; at < text.size();) {
        count += text.compare(at, prefix.size(), prefix) == 0 ? 1 : 0;
        const std::size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return count;
}

std::string exitedWithZero(const ProcessResult& result) {
    return result.exitCode == 0 ? "" : "expected exit code 0";
}

std::string gaveAllLines(const ProcessResult& result) {
    const int out = countLines(result.standardOutput, "out ");
    const int err = countLines(result.standardError, "err ");
    if (result.exitCode != 0 || out + err != kOutputLines) {
        return "expected exit code 0 and " + std::to_string(kOutputLines) + " lines, got " +
               std::to_string(out + err);
    }
    return "";
}

std::string sawAllFiles(const ProcessResult& result) {
    // main.dll and the small files.
    const int files = countLines(result.standardOutput, "file ");
    if (result.exitCode != 0 || files != kSmallFiles + 1) {
        return "expected exit code 0 and " + std::to_string(kSmallFiles + 1) + " files, got " +
               std::to_string(files);
    }
    return "";
}

// Every file below root, named relative to it, as entries with mainName first.
std::vector<packer::Entry> entriesOfTree(const std::wstring& root, const std::wstring& mainName) {
    std::vector<packer::Entry> entries = {fileEntry(u"main.dll", root + L"\\" + mainName)};
    for (const std::wstring& name : listFiles(root)) {
        if (name != mainName) {
            entries.push_back(
                fileEntry(std::u16string(name.begin(), name.end()), root + L"\\" + name));
        }
    }
    return entries;
}

std::vector<Start> makeStarts(const Options& options, const ScratchDirectory& scratch) {
    const packer::Entry app = fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll");
    std::vector<Start> starts;
    std::set<std::string> made;
    for (const std::string& kind : options.kinds) {
        if (!made.insert(kind).second) {
            continue;
        }
        if (kind == "small") {
            const std::vector<packer::Entry> entries = {app, {u"data\\hello.txt", "hello"}};
            const std::string data = packer::writeAttachedData(entries, kTestWriterOptions);
            starts.push_back(
                {kind,
                 "windowed",
                 makePackagedExecutableFromAttachedData(scratch / L"small.exe", data,
                                                        binaryDirectory() + L"\\Corvellinth.exe"),
                 {L"exit", L"0"},
                 exitedWithZero});
            starts.push_back({kind,
                              "console",
                              makePackagedExecutableFromAttachedData(scratch / L"small-console.exe",
                                                                     data, consoleLauncherPath()),
                              {L"exit", L"0"},
                              exitedWithZero});
        } else if (kind == "output") {
            starts.push_back({kind,
                              std::to_string(kOutputLines) + " lines",
                              makePackagedExecutable(scratch / L"output.exe", {app}),
                              {L"interleave", std::to_wstring(kOutputLines)},
                              gaveAllLines});
        } else if (kind == "files") {
            std::vector<packer::Entry> entries = {app};
            for (int index = 0; index < kSmallFiles; ++index) {
                const std::string name =
                    "d" + std::to_string(index % 50) + "\\f" + std::to_string(index) + ".txt";
                entries.push_back({std::u16string(name.begin(), name.end()), name});
            }
            starts.push_back({kind,
                              std::to_string(kSmallFiles) + " files",
                              makePackagedExecutable(scratch / L"files.exe", entries),
                              {L"files"},
                              sawAllFiles});
        } else if (kind == "flipped") {
            const std::string data = packer::writeAttachedData(
                entriesOfTree(binaryDirectory() + L"\\..\\sample_app", L"main.dll"),
                packer::WriterOptions{packer::kDefaultLevel, 1, 21});
            // The three bytes of the header stay: a flip there is refused at once.
            constexpr std::size_t kHeader = 3;
            for (std::size_t flip = 0; flip < options.flips; ++flip) {
                const std::size_t offset = kHeader + flip * (data.size() - kHeader) / options.flips;
                const int bit = static_cast<int>(flip % 8);
                std::string damaged = data;
                damaged[offset] = static_cast<char>(damaged[offset] ^ (1 << bit));
                const std::wstring name = L"flipped-" + std::to_wstring(flip) + L".exe";
                starts.push_back({kind,
                                  "bit " + std::to_string(bit) + " of byte " +
                                      std::to_string(offset) + " of " + std::to_string(data.size()),
                                  makePackagedExecutableFromAttachedData(scratch / name, damaged),
                                  {},
                                  nullptr});
            }
        } else {
            logLine("stress: unknown kind " + kind);
            return {};
        }
    }
    return starts;
}

// The processes that started from root, root's own descendants first found
// by their parent ids in one snapshot.
std::vector<DWORD> processTree(DWORD root) {
    std::vector<PROCESSENTRY32W> all;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        all.push_back(entry);
    }
    CloseHandle(snapshot);
    std::vector<DWORD> tree = {root};
    for (std::size_t index = 0; index < tree.size(); ++index) {
        for (const PROCESSENTRY32W& process : all) {
            if (process.th32ParentProcessID == tree[index] && process.th32ProcessID != root) {
                tree.push_back(process.th32ProcessID);
            }
        }
    }
    return tree;
}

// Runs winedbg with command, its output into a file rather than a pipe:
// "bt all" stops every thread of every process while it reads their stacks,
// this program's pipe readers too, and would wait for ever on a full pipe.
void logWinedbg(const wchar_t* command, const std::wstring& outputPath) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    const HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      &inheritable, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring commandLine = L"winedbg --command \"" + std::wstring(command) + L"\"";
    PROCESS_INFORMATION info{};
    std::string ending = "could not be started";
    if (CreateProcessW(L"C:\\windows\\system32\\winedbg.exe", commandLine.data(), nullptr, nullptr,
                       TRUE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        ending = "finished";
        if (WaitForSingleObject(info.hProcess, kWinedbgTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(info.hProcess, 0xDEAD);
            ending = "did not finish in " + std::to_string(kWinedbgTimeoutMs / 1000) + " s";
        }
        CloseHandle(info.hProcess);
    }
    CloseHandle(output);
    logLine("---- winedbg --command \"" + narrow(command) + "\" (" + ending + ")");
    logLine(readFile(outputPath));
}

// Ends a hung start: its processes first (the launcher's child, whatever
// that started), then the launcher.
void endProcessTree(BackgroundProcess* run) {
    const std::vector<DWORD> tree = processTree(run->processId());
    for (std::size_t index = tree.size(); index-- > 1;) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, tree[index]);
        if (process != nullptr) {
            TerminateProcess(process, 0xDEAD);
            CloseHandle(process);
        }
    }
    run->terminate(0xDEAD);
}

struct Tally {
    int starts = 0;
    int hangs = 0;
    int wrong = 0;
    std::map<std::string, int> endings; // "kind: ending" -> starts
};

void runStart(const Start& start, int index, const Options& options, const std::wstring& temp,
              Tally* tally) {
    RunOptions runOptions = privateTempOptions(temp);
    // The watchdog decides; this only keeps the harness from waiting for ever.
    runOptions.timeoutMs = INFINITE;
    BackgroundProcess run(start.exe, start.arguments, runOptions);
    const ULONGLONG began = GetTickCount64();
    const bool ended = run.hasEnded(options.watchdogSeconds * 1000);
    std::string line = "start " + std::to_string(index) + " " + start.kind + " (" + start.what +
                       "), launcher " + std::to_string(run.processId()) + ": ";
    ++tally->starts;
    if (!ended) {
        ++tally->hangs;
        logLine(line + "HANG after " + std::to_string(options.watchdogSeconds) +
                " s; the prefix's processes and stacks follow");
        logWinedbg(L"info process", temp + L"-winedbg.txt");
        logWinedbg(L"bt all", temp + L"-winedbg.txt");
        endProcessTree(&run);
        if (!run.hasEnded(kEndedAfterKillMs)) {
            logLine("stress: the hung launcher does not end; giving up");
            ExitProcess(1);
        }
        // What the application wrote before it was ended tells whether it ran.
        const ProcessResult cut = run.finish();
        logLine("---- its standard output until it was ended:\n" +
                cut.standardOutput.substr(0, 2000) + "\n---- and standard error:\n" +
                cut.standardError.substr(0, 2000));
        removeTree(temp);
        return;
    }
    const ProcessResult result = run.finish();
    const double seconds = static_cast<double>(GetTickCount64() - began) / 1000.0;
    char duration[32];
    snprintf(duration, sizeof(duration), "%.1f s", seconds);
    const std::string wrong = start.check != nullptr ? start.check(result) : "";
    ++tally->endings[start.kind + ": " + result.ending()];
    if (!wrong.empty()) {
        ++tally->wrong;
        logLine(line + "WRONG " + result.ending() + " after " + duration + ": " + wrong +
                "; standard error: " + result.standardError.substr(0, 400));
    } else {
        logLine(line + result.ending() + " after " + duration);
    }
    removeTree(temp);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        fprintf(stderr,
                "usage: stress [--starts N] [--watchdog-seconds S] "
                "[--kinds small,output,files,flipped] [--flips N] [--from I] [--log FILE]\n");
        return 2;
    }
    if (!options.log.empty()) {
        logFile = _wfopen(options.log.c_str(), L"w");
        if (logFile == nullptr) {
            fprintf(stderr, "stress: cannot write %ls\n", options.log.c_str());
            return 2;
        }
    }
    ScratchDirectory scratch(L"stress");
    const std::vector<Start> starts = makeStarts(options, scratch);
    if (starts.empty()) {
        return 2;
    }
    // Each kind gets its turn: the small starts are many, the others cycle.
    std::map<std::string, std::vector<const Start*>> byKind;
    for (const Start& start : starts) {
        byKind[start.kind].push_back(&start);
    }
    std::map<std::string, std::size_t> next;
    for (const std::string& kind : options.kinds) {
        next[kind] = options.from;
    }
    Tally tally;
    for (int index = 0; index < options.starts; ++index) {
        const std::string& kind =
            options.kinds[static_cast<std::size_t>(index) % options.kinds.size()];
        const std::vector<const Start*>& ofKind = byKind[kind];
        const Start& start = *ofKind[next[kind]++ % ofKind.size()];
        runStart(start, index, options, scratch / L"temp", &tally);
    }
    logLine("stress: " + std::to_string(tally.starts) + " starts, " + std::to_string(tally.hangs) +
            " hangs, " + std::to_string(tally.wrong) + " wrong outcomes");
    for (const auto& [ending, count] : tally.endings) {
        logLine("stress: " + std::to_string(count) + " x " + ending);
    }
    return tally.hangs == 0 ? 0 : 1;
}
