// What every fuzz target does when its check fails: say what, then abort,
// which libFuzzer records as a finding with the input that caused it.
#ifndef CORVELLINTH_TESTS_FUZZ_FUZZ_SUPPORT_H
#define CORVELLINTH_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>

inline void failWhen(bool failed, const std::string& what) {
    if (failed) {
        std::fprintf(stderr, "finding: %s\n", what.c_str());
        std::abort();
    }
}

// For the readers of files a user hands the packer: a refusal is one line.
inline void failWhenNotOneLine(const std::string& message) {
    failWhen(message.empty() || message.find('\n') != std::string::npos,
             "a refusal that is not one line: '" + message + "'");
}

#endif
