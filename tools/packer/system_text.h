// Text helpers of the packer: system error texts, UTF-8 conversion, and
// output that shows correctly both on a console and in a pipe.
#ifndef CORVELLINTH_TOOLS_PACKER_SYSTEM_TEXT_H
#define CORVELLINTH_TOOLS_PACKER_SYSTEM_TEXT_H

#include <windows.h>

#include <string>
#include <string_view>

namespace packer {

// The system's text for an error code, without its trailing line break;
// "error N" when the system has none.
std::wstring systemErrorText(DWORD code);

// "<what> '<path>': <system text of code>".
std::wstring describeFailure(std::wstring_view what, std::wstring_view path, DWORD code);

std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

// True when handle is a console (GetConsoleMode succeeds on it).
bool isConsole(HANDLE handle);

// Writes text to a standard handle: UTF-16 to a console, UTF-8 elsewhere.
// Failures are ignored: there is nowhere left to report them.
void writeText(HANDLE handle, std::wstring_view text);

} // namespace packer

#endif
