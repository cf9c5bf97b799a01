#include "tools/packer/command_line.h"

#include <cwchar>
#include <set>

#include "tools/packer/pack_error.h"

namespace packer {
namespace {

[[noreturn]] void usageError(const std::wstring& message) {
    throw PackError(message + L" (see onefile-pack --help)", kExitUsage);
}

int parseNumber(const std::wstring& option, const std::wstring& text, int low, int high) {
    int value = 0;
    bool valid = !text.empty() && text.size() <= 4;
    for (const wchar_t c : text) {
        valid = valid && c >= L'0' && c <= L'9';
        value = value * 10 + (c - L'0');
    }
    if (!valid || value < low || value > high) {
        usageError(option + L" needs a number from " + std::to_wstring(low) + L" to " +
                   std::to_wstring(high) + L", not '" + text + L"'");
    }
    return value;
}

// The options that each mode accepts besides the one that selects it.
bool optionFits(Mode mode, const std::wstring& option) {
    switch (mode) {
    case Mode::Pack:
        return option != L"--attached-data" && option != L"--write-attached-data" &&
               option != L"--list";
    case Mode::EmbedAttachedData:
        return option == L"--attached-data" || option == L"--output" || option == L"--launcher";
    case Mode::WriteAttachedData:
        return option == L"--write-attached-data" || option == L"--main" || option == L"--level" ||
               option == L"--threads" || option == L"--quiet";
    case Mode::List:
        return option == L"--list";
    case Mode::Help:
        break;
    }
    return true;
}

class Parser {
  public:
    explicit Parser(const std::vector<std::wstring>& arguments) : arguments_(arguments) {}

    CommandLine parse() {
        bool optionsEnded = false;
        for (next_ = 0; next_ < arguments_.size(); ++next_) {
            const std::wstring& argument = arguments_[next_];
            if (optionsEnded || argument.empty() || argument[0] != L'-' || argument == L"-") {
                takeOperand(argument);
            } else if (argument == L"--") {
                optionsEnded = true;
            } else {
                takeOption(argument);
            }
        }
        // --help wins over everything else, so it always works.
        if (seen_.count(L"--help") != 0 || seen_.count(L"-h") != 0) {
            result_.mode = Mode::Help;
            return result_;
        }
        checkComplete();
        return result_;
    }

  private:
    void takeOperand(const std::wstring& argument) {
        if (!result_.directory.empty()) {
            usageError(L"only one directory can be packed, got '" + result_.directory + L"' and '" +
                       argument + L"'");
        }
        result_.directory = argument;
    }

    void takeOption(const std::wstring& option) {
        if (!seen_.insert(option).second) {
            usageError(option + L" is given twice");
        }
        if (option == L"--help" || option == L"-h") {
            return;
        }
        if (option == L"--quiet") {
            result_.quiet = true;
        } else if (option == L"--main") {
            result_.mainName = value(option);
        } else if (option == L"--output") {
            result_.output = value(option);
        } else if (option == L"--launcher") {
            result_.launcher = value(option);
        } else if (option == L"--level") {
            result_.level = parseNumber(option, value(option), kMinimumLevel, kMaximumLevel);
        } else if (option == L"--threads") {
            result_.threads = parseNumber(option, value(option), 1, kMaximumThreads);
        } else if (option == L"--attached-data") {
            selectMode(Mode::EmbedAttachedData, option);
            result_.attachedData = value(option);
        } else if (option == L"--write-attached-data") {
            selectMode(Mode::WriteAttachedData, option);
            result_.attachedData = value(option);
        } else if (option == L"--list") {
            selectMode(Mode::List, option);
            result_.listed = value(option);
        } else {
            usageError(L"unknown option '" + option + L"'");
        }
    }

    void selectMode(Mode mode, const std::wstring& option) {
        if (result_.mode != Mode::Pack) {
            usageError(option + L" does not go with " + modeOption_);
        }
        result_.mode = mode;
        modeOption_ = option;
    }

    const std::wstring& value(const std::wstring& option) {
        if (next_ + 1 >= arguments_.size()) {
            usageError(option + L" needs a value");
        }
        ++next_;
        return arguments_[next_];
    }

    void require(bool present, const wchar_t* what) {
        if (!present) {
            usageError(std::wstring(what) + L" is missing");
        }
    }

    void checkComplete() {
        for (const std::wstring& option : seen_) {
            if (!optionFits(result_.mode, option)) {
                usageError(option + L" does not go with " + modeOption_);
            }
        }
        const bool needsDirectory =
            result_.mode == Mode::Pack || result_.mode == Mode::WriteAttachedData;
        if (!needsDirectory && !result_.directory.empty()) {
            usageError(L"unexpected argument '" + result_.directory + L"'");
        }
        if (needsDirectory) {
            require(!result_.mainName.empty(), L"--main");
            require(!result_.directory.empty(), L"the directory to pack");
        }
        if (result_.mode == Mode::Pack || result_.mode == Mode::EmbedAttachedData) {
            require(!result_.output.empty(), L"--output");
        }
    }

    const std::vector<std::wstring>& arguments_;
    std::size_t next_ = 0;
    CommandLine result_;
    std::set<std::wstring> seen_;
    std::wstring modeOption_ = L"packing a directory";
};

} // namespace

CommandLine parseCommandLine(const std::vector<std::wstring>& arguments) {
    return Parser(arguments).parse();
}

const wchar_t* usageText() {
    return L"Usage:\n"
           L"  onefile-pack --main REL --output OUT.exe [--launcher L.exe] [--level N]\n"
           L"               [--threads N] [--quiet] DIR\n"
           L"      Packs every file below DIR into a copy of the launcher. REL, the\n"
           L"      application's main DLL relative to DIR, becomes the first entry.\n"
           L"  onefile-pack --attached-data FILE --output OUT.exe [--launcher L.exe]\n"
           L"      Embeds a prepared block of attached data as it is.\n"
           L"  onefile-pack --write-attached-data FILE --main REL [--level N]\n"
           L"               [--threads N] [--quiet] DIR\n"
           L"      Writes only the attached data of DIR to FILE.\n"
           L"  onefile-pack --list EXE\n"
           L"      Prints \"<size> <name>\" for every entry of a packaged executable.\n"
           L"\n"
           L"Options:\n"
           L"  --launcher L.exe  the launcher to copy (default: Corvellinth.exe beside\n"
           L"                    onefile-pack.exe)\n"
           L"  --level N         zstd level, 1 to 22 (default 19)\n"
           L"  --threads N       compression threads, 1 to 256 (default: one per\n"
           L"                    processor)\n"
           L"  --quiet           no progress line and no summary\n"
           L"\n"
           L"Exit codes: 0 success, 1 failure (the message says why; no output file\n"
           L"is left behind), 2 bad command line.\n";
}

} // namespace packer
