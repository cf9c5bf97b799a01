// Quoting one argument into a command line so that CommandLineToArgvW and
// the runtime's parser give it back unchanged. No Windows calls.
#ifndef CORVELLINTH_LAUNCHER_QUOTING_H
#define CORVELLINTH_LAUNCHER_QUOTING_H

#include <cstddef>

// Appends argument to the text in commandLine (a buffer of capacity code
// units), quoted when it holds a blank, tab, line feed, vertical tab or
// double quote. Ends the process abnormally when it does not fit. An empty
// argument adds nothing.
void appendQuotedArgument(wchar_t* commandLine, std::size_t capacity, const wchar_t* argument);

#endif
