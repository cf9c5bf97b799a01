// Running programs for the Linux launcher's tests: with arguments, extra
// environment, a current directory and standard input, their output and
// wait status collected; or started, for the tests that signal them while
// they run. No sleeps: a test waits for lines the program prints, or for
// its end.
#ifndef CORVELLINTH_TESTS_LINUX_SUPPORT_LINUX_PROCESS_H
#define CORVELLINTH_TESTS_LINUX_SUPPORT_LINUX_PROCESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace linux_support {

struct RunOptions {
    // NAME=value to set, or NAME alone to remove, on top of this process's
    // environment.
    std::vector<std::string> environment;
    std::string directory; // the current directory; this one's when empty
    std::string input;     // standard input's whole contents
    bool newSession = false;
};

struct RunResult {
    int status = 0; // as waitpid gives it
    std::string out;
    std::string err;
};

// The exit code of a status, or -1 when it did not exit (a signal).
int exitCodeOf(int status);
// The signal that ended it, or 0.
int signalOf(int status);

RunResult runProgram(const std::string& path, const std::vector<std::string>& arguments,
                     const RunOptions& options = {});

// A program that runs while the test talks to it.
class StartedProgram {
  public:
    StartedProgram(const std::string& path, const std::vector<std::string>& arguments,
                   const RunOptions& options = {});
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of standard output, without its line break; what was
    // read when the output ended first. Fails the test after a minute.
    std::string readLine();
    // Waits for the end and collects the rest of the output.
    RunResult wait();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pending_;
    bool waited_ = false;
};

// Runs path as runProgram does (its output discarded) under ptrace, and
// kills it with SIGKILL at the moment it is about to create a file named
// name (an openat with O_CREAT whose path ends in that name). True when it
// got there; false when the program ended first, or on a system where the
// tracing is not available (x86-64 only: the test is skipped then).
bool killWhenCreating(const std::string& path, const std::vector<std::string>& arguments,
                      const RunOptions& options, const std::string& name);
bool canKillWhenCreating();

// Waits (a minute at most) until the process pid, not necessarily a child
// of this one, has ended; false when it is still there.
bool awaitProcessEnd(pid_t pid);

// A directory of the test's own below /tmp (or below under, when given),
// removed with everything in it at the end.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::string& under = "/tmp");
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Removes path and everything below it, links not followed.
void removeTree(const std::string& path);

void writeFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// The names in directory, "." and ".." left out.
std::vector<std::string> namesIn(const std::string& directory);

} // namespace linux_support

#endif
