#include "tests/linux/support/linux_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char** environ;

namespace linux_support {
namespace {

constexpr int kLongestWaitMs = 60000;

std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        result.emplace_back(*entry);
    }
    for (const std::string& change : changes) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(result, [&](const std::string& entry) {
            return entry.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (change.find('=') != std::string::npos) {
            result.push_back(change);
        }
    }
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The vectors of an execve, and the texts that they point into.
struct ExecVectors {
    std::vector<std::string> argumentTexts;
    std::vector<std::string> environmentTexts;
    std::vector<char*> argv;
    std::vector<char*> envp;
};

// Fills *vectors for path with arguments and options' environment.
void prepareExec(ExecVectors* vectors, const std::string& path,
                 const std::vector<std::string>& arguments, const RunOptions& options) {
    vectors->argumentTexts = {path};
    vectors->argumentTexts.insert(vectors->argumentTexts.end(), arguments.begin(), arguments.end());
    vectors->environmentTexts = environmentWith(options.environment);
    vectors->argv = pointersTo(vectors->argumentTexts);
    vectors->envp = pointersTo(vectors->environmentTexts);
}

// Starts path with its standard streams on pipes; returns the pid and the
// parent's ends (input, output, error).
pid_t startWithPipes(const std::string& path, const std::vector<std::string>& arguments,
                     const RunOptions& options, int* input, int* output, int* error) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return -1;
    }
    ExecVectors vectors;
    prepareExec(&vectors, path, arguments, options);
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (options.newSession) {
            setsid();
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
            _exit(126);
        }
        execve(path.c_str(), vectors.argv.data(), vectors.envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    *input = in[1];
    *output = out[0];
    *error = err[0];
    return pid;
}

void writeAll(int descriptor, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = write(descriptor, data.data() + done, data.size() - done);
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
}

// Reads output and error to their ends, feeding input meanwhile.
void pump(int input, const std::string& data, int output, std::string* out, int error,
          std::string* err) {
    std::size_t fed = 0;
    if (data.empty()) {
        close(input);
        input = -1;
    }
    while (output >= 0 || error >= 0) {
        pollfd watched[3] = {{output, POLLIN, 0}, {error, POLLIN, 0}, {input, POLLOUT, 0}};
        if (poll(watched, 3, kLongestWaitMs) <= 0) {
            ADD_FAILURE() << "the program's output did not end within a minute";
            break;
        }
        char buffer[65536];
        int* const descriptors[2] = {&output, &error};
        std::string* const targets[2] = {out, err};
        for (int index = 0; index < 2; ++index) {
            if (watched[index].revents == 0) {
                continue;
            }
            const ssize_t got = read(*descriptors[index], buffer, sizeof(buffer));
            if (got <= 0) {
                close(*descriptors[index]);
                *descriptors[index] = -1;
            } else {
                targets[index]->append(buffer, static_cast<std::size_t>(got));
            }
        }
        if (input >= 0 && watched[2].revents != 0) {
            const std::size_t piece = std::min<std::size_t>(data.size() - fed, 65536);
            const ssize_t written = write(input, data.data() + fed, piece);
            fed += written > 0 ? static_cast<std::size_t>(written) : data.size() - fed;
            if (fed >= data.size()) {
                close(input);
                input = -1;
            }
        }
    }
    if (input >= 0) {
        close(input);
    }
}

int removeEntry(const char* path, const struct stat*, int kind, FTW*) {
    if (kind == FTW_DP) {
        rmdir(path);
    } else {
        unlink(path);
    }
    return 0;
}

#ifdef __x86_64__
// The path that the traced process passes at address, read from its memory.
std::string pathAt(pid_t pid, unsigned long long address) {
    char buffer[4096];
    iovec local{buffer, sizeof(buffer) - 1};
    iovec remote{reinterpret_cast<void*>(address), sizeof(buffer) - 1};
    const ssize_t got = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (got <= 0) {
        return "";
    }
    buffer[got] = '\0';
    return buffer;
}

// At a system call's entry: true when it is the creation of a file whose
// path ends in name.
bool isCreating(pid_t pid, const user_regs_struct& registers, const std::string& name) {
    if (registers.orig_rax != SYS_openat || (registers.rdx & O_CREAT) == 0) {
        return false;
    }
    const std::string path = pathAt(pid, registers.rsi);
    return path == name || (path.size() > name.size() && path.ends_with("/" + name));
}

// Follows the traced pid from stop to stop until it creates name (then
// kills it) or ends.
bool followUntilCreating(pid_t pid, const std::string& name) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
        return false;
    }
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int pending = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, pid, nullptr, pending);
        pending = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
            return false;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            pending = WSTOPSIG(status);
            continue;
        }
        user_regs_struct registers{};
        ptrace(PTRACE_GETREGS, pid, nullptr, &registers);
        // At an entry the result is not there yet: -ENOSYS.
        if (static_cast<long long>(registers.rax) == -ENOSYS && isCreating(pid, registers, name)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return true;
        }
    }
}
#endif

} // namespace

bool canKillWhenCreating() {
#ifdef __x86_64__
    return true;
#else
    return false;
#endif
}

bool killWhenCreating(const std::string& path, const std::vector<std::string>& arguments,
                      const RunOptions& options, const std::string& name) {
#ifdef __x86_64__
    ExecVectors vectors;
    prepareExec(&vectors, path, arguments, options);
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int discard = open("/dev/null", O_RDWR);
        dup2(discard, 0);
        dup2(discard, 1);
        dup2(discard, 2);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execve(path.c_str(), vectors.argv.data(), vectors.envp.data());
        _exit(127);
    }
    const bool killed = pid > 0 && followUntilCreating(pid, name);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) == pid && !WIFEXITED(status) &&
           !WIFSIGNALED(status)) {
        ptrace(PTRACE_CONT, pid, nullptr, 0);
    }
    return killed;
#else
    static_cast<void>(path);
    static_cast<void>(arguments);
    static_cast<void>(options);
    static_cast<void>(name);
    return false;
#endif
}

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int signalOf(int status) {
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

RunResult runProgram(const std::string& path, const std::vector<std::string>& arguments,
                     const RunOptions& options) {
    RunResult result;
    int input = -1;
    int output = -1;
    int error = -1;
    const pid_t pid = startWithPipes(path, arguments, options, &input, &output, &error);
    if (pid < 0) {
        return result;
    }
    // A program that does not read its input must not end the test.
    signal(SIGPIPE, SIG_IGN);
    pump(input, options.input, output, &result.out, error, &result.err);
    waitpid(pid, &result.status, 0);
    return result;
}

StartedProgram::StartedProgram(const std::string& path, const std::vector<std::string>& arguments,
                               const RunOptions& options) {
    int input = -1;
    pid_ = startWithPipes(path, arguments, options, &input, &out_, &err_);
    if (input >= 0) {
        writeAll(input, options.input);
        close(input);
    }
}

StartedProgram::~StartedProgram() {
    if (pid_ > 0 && !waited_) {
        kill(pid_, SIGKILL);
        wait();
    }
}

std::string StartedProgram::readLine() {
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        pollfd watched{out_, POLLIN, 0};
        if (out_ < 0 || poll(&watched, 1, kLongestWaitMs) <= 0) {
            ADD_FAILURE() << "no line from the program within a minute";
            return pending_;
        }
        char buffer[4096];
        const ssize_t got = read(out_, buffer, sizeof(buffer));
        if (got <= 0) {
            std::string rest = pending_;
            pending_.clear();
            return rest;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

RunResult StartedProgram::wait() {
    RunResult result;
    result.out = pending_;
    pending_.clear();
    pump(-1, "", out_, &result.out, err_, &result.err);
    out_ = err_ = -1;
    waitpid(pid_, &result.status, 0);
    waited_ = true;
    return result;
}

bool awaitProcessEnd(pid_t pid) {
    const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (handle < 0) {
        return errno == ESRCH;
    }
    pollfd watched{handle, POLLIN, 0};
    const bool ended = poll(&watched, 1, kLongestWaitMs) == 1;
    close(handle);
    return ended;
}

ScratchDirectory::ScratchDirectory(const std::string& under) {
    std::string pattern = under + "/corvellinth-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    }
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    removeTree(path_);
}

void removeTree(const std::string& path) {
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void writeFile(const std::string& path, const std::string& contents, unsigned mode) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(file, 0) << path << ": " << strerror(errno);
    writeAll(file, contents);
    fchmod(file, mode);
    close(file);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    DIR* const stream = opendir(directory.c_str());
    if (stream == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(stream);
    return names;
}

} // namespace linux_support
