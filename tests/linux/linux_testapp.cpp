// The application that the Linux launcher's tests pack (main.so). argv[1]
// names what to do; every command prints plain lines that the tests parse:
//   args            "arg <i> <hex of the bytes>" for every argument
//   exit <n>        returns n (decimal, any int)
//   cat             copies standard input to standard output
//   stderr <text>   writes text to standard error
//   env             "<NAME>=<value>" for the four launcher variables (or
//                   "<NAME> unset"), "cwd=" and "module=" (this file's path)
//   files           "file <path> <mode in octal> <size> <FNV-1a 64 in hex>"
//                   for every file below this file's directory, in no
//                   particular order
//   spawn <exe> <args...>  starts exe with the args, waits, returns its exit
//                   status
//   fds             "fd <n> <target>" for every descriptor this process has
//   plant <dir>     makes "link-to-dir" beside this file, a link to dir, and
//                   "hard-link", a hard link to dir/kept
//   on-signals      counts SIGINT, SIGTERM, SIGHUP and SIGQUIT from now on
//   ignore-signals  ignores those four
//   own-group       leaves the launcher's process group for one of its own
//   ready           prints "ready <pid>" and flushes standard output
//   until-signal    waits for the next signal that on-signals counts (or
//                   takes the next one that came), prints "signal <n> count
//                   <c>" (c: how many of n have come), flushed
//   counts          prints "counts <c>" with the counts of SIGINT, SIGTERM,
//                   SIGHUP and SIGQUIT so far
//   pause           waits for ever
//   raise <n>       ends this process by signal n
// Several commands can be chained with "--": "on-signals -- ready -- pause".
#include <dirent.h>
#include <dlfcn.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "launcher/run_code.h"

extern char** environ;

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalSlots = 65;
constexpr int kRememberedSignals = 16;

// Written by the handler only: each signal's count, and the signals in the
// order they came.
volatile sig_atomic_t signalCounts[kSignalSlots];
volatile sig_atomic_t receivedSignals[kRememberedSignals];
volatile sig_atomic_t receivedCount = 0;
int reportedCount = 0; // of receivedSignals, by until-signal

void countSignal(int signal) {
    if (signal > 0 && signal < kSignalSlots) {
        signalCounts[signal] = signalCounts[signal] + 1;
    }
    receivedSignals[receivedCount % kRememberedSignals] = signal;
    receivedCount = receivedCount + 1;
}

std::string modulePath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&countSignal), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

std::string moduleDirectory() {
    const std::string path = modulePath();
    return path.substr(0, path.rfind('/'));
}

void printArguments(int argc, char** argv) {
    for (int index = 0; index < argc; ++index) {
        printf("arg %d ", index);
        for (const char* byte = argv[index]; *byte != '\0'; ++byte) {
            printf("%02x", static_cast<unsigned>(static_cast<unsigned char>(*byte)));
        }
        printf("\n");
    }
}

void printEnvironment() {
    const char* const names[] = {"TAMBRO_ONEFILE_PARENT", "TAMBRO_ONEFILE_START",
                                 "TAMBRO_ONEFILE_DIRECTORY", "TAMBRO_ORIGINAL_ARGV0"};
    for (const char* name : names) {
        const char* const value = getenv(name);
        if (value == nullptr) {
            printf("%s unset\n", name);
        } else {
            printf("%s=%s\n", name, value);
        }
    }
    char cwd[4096];
    printf("cwd=%s\n", getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "");
    printf("module=%s\n", modulePath().c_str());
}

std::size_t filesRootLength = 0;

unsigned long long hashOf(const char* path) {
    unsigned long long hash = 0xcbf29ce484222325ull;
    FILE* const file = fopen(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    for (int byte = fgetc(file); byte != EOF; byte = fgetc(file)) {
        hash = (hash ^ static_cast<unsigned>(byte)) * 0x100000001b3ull;
    }
    fclose(file);
    return hash;
}

int printFile(const char* path, const struct stat* status, int kind, FTW*) {
    if (kind == FTW_F) {
        printf("file %s %o %lld %016llx\n", path + filesRootLength + 1,
               static_cast<unsigned>(status->st_mode & 07777),
               static_cast<long long>(status->st_size), hashOf(path));
    }
    return 0;
}

void printFiles() {
    const std::string root = moduleDirectory();
    filesRootLength = root.size();
    nftw(root.c_str(), printFile, 16, FTW_PHYS);
}

void copyInput() {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(0, buffer, sizeof(buffer));
        if (got <= 0) {
            break;
        }
        fwrite(buffer, 1, static_cast<size_t>(got), stdout);
    }
    fflush(stdout);
}

int spawnAndWait(char** argv) {
    fflush(stdout);
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ) != 0) {
        return 127;
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void printDescriptors() {
    DIR* const descriptors = opendir("/proc/self/fd");
    if (descriptors == nullptr) {
        return;
    }
    for (const dirent* entry = readdir(descriptors); entry != nullptr;
         entry = readdir(descriptors)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
        if (entry->d_name[0] != '.' && length > 0) {
            target[length] = '\0';
            printf("fd %s %s\n", entry->d_name, target);
        }
    }
    closedir(descriptors);
}

void plantLinks(const char* target) {
    const std::string directory = moduleDirectory();
    symlink(target, (directory + "/link-to-dir").c_str());
    link((std::string(target) + "/kept").c_str(), (directory + "/hard-link").c_str());
}

void handleStopSignals(void (*handler)(int)) {
    for (const int signal : kStopSignals) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

// Reports the next signal that came, waiting for it when it has not.
void waitForSignal() {
    // Blocked while looked at, so that none comes between the look and the
    // wait.
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (const int stop : kStopSignals) {
        sigaddset(&stops, stop);
    }
    sigprocmask(SIG_BLOCK, &stops, &before);
    while (receivedCount == reportedCount) {
        sigsuspend(&before);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    const int signal = receivedSignals[reportedCount % kRememberedSignals];
    ++reportedCount;
    printf("signal %d count %d\n", signal, static_cast<int>(signalCounts[signal]));
    fflush(stdout);
}

void printCounts() {
    printf("counts");
    for (const int signal : kStopSignals) {
        printf(" %d", static_cast<int>(signalCounts[signal]));
    }
    printf("\n");
    fflush(stdout);
}

} // namespace

ONEFILE_EXPORT int run_code(int argc, char** argv) {
    int exitCode = 0;
    for (int at = 1; at < argc; ++at) {
        const std::string command = argv[at];
        if (command == "--") {
            continue;
        }
        if (command == "args") {
            printArguments(argc, argv);
        } else if (command == "exit" && at + 1 < argc) {
            exitCode = atoi(argv[++at]);
        } else if (command == "cat") {
            copyInput();
        } else if (command == "stderr" && at + 1 < argc) {
            fprintf(stderr, "%s\n", argv[++at]);
        } else if (command == "env") {
            printEnvironment();
        } else if (command == "files") {
            printFiles();
        } else if (command == "spawn" && at + 1 < argc) {
            int end = at + 1;
            while (end < argc && strcmp(argv[end], "--") != 0) {
                ++end;
            }
            char* const saved = argv[end < argc ? end : argc];
            argv[end] = nullptr;
            exitCode = spawnAndWait(argv + at + 1);
            argv[end] = saved;
            at = end;
        } else if (command == "fds") {
            printDescriptors();
        } else if (command == "plant" && at + 1 < argc) {
            plantLinks(argv[++at]);
        } else if (command == "on-signals") {
            handleStopSignals(countSignal);
        } else if (command == "ignore-signals") {
            handleStopSignals(SIG_IGN);
        } else if (command == "own-group") {
            setpgid(0, 0);
        } else if (command == "ready") {
            printf("ready %d\n", static_cast<int>(getpid()));
            fflush(stdout);
        } else if (command == "until-signal") {
            waitForSignal();
        } else if (command == "counts") {
            printCounts();
        } else if (command == "pause") {
            for (;;) {
                pause();
            }
        } else if (command == "raise" && at + 1 < argc) {
            const int signal = atoi(argv[++at]);
            fflush(stdout);
            struct sigaction byDefault {};
            byDefault.sa_handler = SIG_DFL;
            sigaction(signal, &byDefault, nullptr);
            raise(signal);
        }
    }
    fflush(stdout);
    return exitCode;
}
