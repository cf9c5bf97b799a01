// Quoting arguments into a command line so that CommandLineToArgvW and the
// runtime's parser give them back unchanged. No Windows calls.
#ifndef CORVELLINTH_LAUNCHER_QUOTING_H
#define CORVELLINTH_LAUNCHER_QUOTING_H

#include <cstddef>

#include "paths/wide_text.h"

// Appends argument to commandLine, quoted when it is empty or holds a blank,
// tab, line feed, vertical tab or double quote. Ends the process abnormally
// when it does not fit.
void appendQuotedArgument(WideText* commandLine, const wchar_t* argument);

// Appends count arguments with appendQuotedArgument, one blank between them.
// Ends the process abnormally when they do not fit or one is null.
void appendQuotedArguments(WideText* commandLine, const wchar_t* const* arguments,
                           std::size_t count);

#endif
