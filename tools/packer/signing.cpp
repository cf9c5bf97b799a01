#include "tools/packer/signing.h"

#include <algorithm>
#include <cstdio>

#include "tools/packer/partial_output.h"
#include "tools/packer/platform.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::string_view kInPlaceholder = "{in}";
constexpr std::string_view kOutPlaceholder = "{out}";
constexpr std::size_t kLongestExtension = 8;
constexpr int kLargestPlainExitCode = 0xFFFF;

void copyFile(const std::string& from, const std::string& to) {
    InputFile source(from);
    OutputFile copy(to, to, false);
    readRest(source, [&copy](const char* data, std::size_t size) { copy.write(data, size); });
    copy.close();
}

// command with every {in} and {out} replaced, in one pass, so that a path
// holding "{out}" stays as it is.
std::string substitute(const std::string& command, const std::string& input,
                       const std::string& output) {
    std::string result;
    for (std::size_t at = 0; at < command.size();) {
        if (command.compare(at, kInPlaceholder.size(), kInPlaceholder) == 0) {
            result += input;
            at += kInPlaceholder.size();
        } else if (command.compare(at, kOutPlaceholder.size(), kOutPlaceholder) == 0) {
            result += output;
            at += kOutPlaceholder.size();
        } else {
            result += command[at++];
        }
    }
    return result;
}

// A Windows status (0xC0000005) reads best in hexadecimal.
std::string describeExitCode(int code) {
    if (code >= 0 && code <= kLargestPlainExitCode) {
        return std::to_string(code);
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

} // namespace

Signer::Signer(std::string command, const std::string& outputPath)
    : command_(std::move(command)), outputPath_(outputPath) {}

Signer::~Signer() {
    removeTemporaryFiles();
}

void Signer::removeTemporaryFiles() {
    removeOnInterrupt("", InterruptSlot::signInput);
    removeOnInterrupt("", InterruptSlot::signOutput);
    for (const std::string& path : {copyPath_, signedPath_}) {
        if (!path.empty()) {
            removeFile(path);
        }
    }
    copyPath_.clear();
    signedPath_.clear();
}

std::string Signer::signCopyOf(const std::string& source, const std::string& extension,
                               const std::string& what) {
    removeTemporaryFiles();
    copyPath_ = temporaryNameFor(outputPath_, ".unsigned" + extension);
    removeOnInterrupt(copyPath_, InterruptSlot::signInput);
    copyFile(source, copyPath_);
    return sign(copyPath_, extension, what);
}

void Signer::signInPlace(const std::string& path, const std::string& extension,
                         const std::string& what) {
    removeTemporaryFiles();
    copyFile(sign(path, extension, what), path);
    removeTemporaryFiles();
}

std::string Signer::sign(const std::string& input, const std::string& extension,
                         const std::string& what) {
    if (!signedPath_.empty()) {
        removeFile(signedPath_);
    }
    signedPath_ = temporaryNameFor(outputPath_, ".signed" + extension);
    removeOnInterrupt(signedPath_, InterruptSlot::signOutput);
    removeFile(signedPath_); // a leftover would pass for the command's work
    int exitCode = 0;
    try {
        exitCode =
            runShellCommand(substitute(command_, quoteForShell(input), quoteForShell(signedPath_)));
    } catch (const PackError& failure) {
        throw PackError("the sign command failed for " + what + ": " + failure.message());
    }
    if (exitCode != 0) {
        throw PackError("the sign command failed for " + what + ": it ended with exit code " +
                        describeExitCode(exitCode));
    }
    if (statusOf(signedPath_).kind != FileKind::file) {
        throw PackError("the sign command wrote no file at {out} for " + what);
    }
    return signedPath_;
}

std::string signedFileExtension(const std::u16string& name) {
    const std::size_t dot = name.rfind(u'.');
    if (dot == std::u16string::npos || name.find(u'\\', dot) != std::u16string::npos) {
        return "";
    }
    const std::u16string_view extension = std::u16string_view(name).substr(dot + 1);
    if (extension.empty() || extension.size() > kLongestExtension ||
        !std::all_of(extension.begin(), extension.end(), isAsciiAlphanumeric)) {
        return "";
    }
    std::string result(1, '.');
    result += utf16ToUtf8(extension);
    return result;
}

} // namespace packer
