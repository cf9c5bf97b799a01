#include "tools/packer/command_line.h"

#include <algorithm>
#include <set>

#include "tools/packer/pack_error.h"
#include "tools/packer/unicode_text.h"
#include "tools/packer/version_record.h"

namespace packer {
namespace {

const std::set<std::string> kIdentityOptions = {
    "--icon",        "--name",         "--company",         "--product",
    "--description", "--file-version", "--product-version", "--copyright"};
const std::set<std::string> kCompressionOptions = {"--level", "--best", "--threads", "--quiet",
                                                   "--no-checksum"};
const std::set<std::string> kLauncherOptions = {"--launcher", "--windowed", "--console", "--linux"};
// What only a Windows executable can carry (a signature that the system
// checks included).
const std::set<std::string> kWindowsOnlyOptions = {"--icon",    "--description", "--copyright",
                                                   "--console", "--windowed",    "--sign-command"};
const std::set<std::string> kCacheOptions = {"--cache", "--cache-location"};

[[noreturn]] void usageError(const std::string& message) {
    throw PackError(message + " (see onefile-pack --help)", kExitUsage);
}

int parseNumber(const std::string& option, const std::string& text, int low, int high) {
    int value = 0;
    bool valid = !text.empty() && text.size() <= 4;
    for (const char c : text) {
        valid = valid && c >= '0' && c <= '9';
        value = value * 10 + (c - '0');
    }
    if (!valid || value < low || value > high) {
        usageError(option + " needs a number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not '" + printableUtf8(text) + "'");
    }
    return value;
}

std::string identityText(const std::string& option, const std::string& text) {
    const std::optional<std::u16string> units = utf8ToUtf16(text);
    if (!units || units->empty() || units->size() > kLongestIdentityText) {
        usageError(option + " needs a text of 1 to " + std::to_string(kLongestIdentityText) +
                   " characters, not '" + printableUtf8(text) + "'");
    }
    return text;
}

std::string versionText(const std::string& option, const std::string& text) {
    if (!parseVersionNumbers(text)) {
        usageError(option + " needs one to four numbers from 0 to 65535 separated by dots, not '" +
                   printableUtf8(text) + "'");
    }
    return text;
}

std::string signCommandText(const std::string& option, const std::string& text) {
    if (text.find("{in}") == std::string::npos || text.find("{out}") == std::string::npos) {
        usageError(option + " needs a command with {in} and {out}, not '" + printableUtf8(text) +
                   "'");
    }
    return text;
}

// The options that each mode accepts besides the one that selects it.
bool optionFits(Mode mode, const std::string& option) {
    switch (mode) {
    case Mode::pack:
        return option != "--attached-data" && option != "--write-attached-data" &&
               option != "--list";
    case Mode::embedAttachedData:
        return option == "--attached-data" || option == "--output" || option == "--sign-command" ||
               kLauncherOptions.count(option) != 0 || kIdentityOptions.count(option) != 0 ||
               kCacheOptions.count(option) != 0;
    case Mode::writeAttachedData:
        return option == "--write-attached-data" || option == "--main" ||
               option == "--sign-command" || kCompressionOptions.count(option) != 0;
    case Mode::list:
        return option == "--list";
    case Mode::help:
        break;
    }
    return true;
}

class Parser {
  public:
    explicit Parser(const std::vector<std::string>& arguments) : arguments_(arguments) {}

    CommandLine parse() {
        bool optionsEnded = false;
        for (next_ = 0; next_ < arguments_.size(); ++next_) {
            const std::string& argument = arguments_[next_];
            if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
                takeOperand(argument);
            } else if (argument == "--") {
                optionsEnded = true;
            } else {
                takeOption(argument);
            }
        }
        // --help wins over everything else, so it always works.
        if (seen_.count("--help") != 0 || seen_.count("-h") != 0) {
            result_.mode = Mode::help;
            return result_;
        }
        checkComplete();
        return result_;
    }

  private:
    void takeOperand(const std::string& argument) {
        if (!result_.directory.empty()) {
            usageError("only one directory can be packed, got '" + result_.directory + "' and '" +
                       argument + "'");
        }
        result_.directory = argument;
    }

    void takeOption(const std::string& option) {
        if (!seen_.insert(option).second) {
            usageError(option + " is given twice");
        }
        if (option == "--help" || option == "-h") {
            return;
        }
        if (!takeSetting(option) && !takeIdentity(option) && !takeMode(option)) {
            usageError("unknown option '" + printableUtf8(option) + "'");
        }
    }

    bool takeSetting(const std::string& option) {
        if (option == "--quiet") {
            result_.quiet = true;
        } else if (option == "--no-checksum") {
            result_.checksum = false;
        } else if (option == "--best") {
            result_.level = kBestLevel;
        } else if (option == "--main") {
            result_.mainName = value(option);
        } else if (option == "--output") {
            result_.output = value(option);
        } else if (option == "--launcher") {
            result_.launcher = value(option);
        } else if (option == "--windowed") {
            result_.launcherKind = LauncherKind::windowed;
        } else if (option == "--console") {
            result_.launcherKind = LauncherKind::console;
        } else if (option == "--linux") {
            result_.launcherKind = LauncherKind::linuxElf;
        } else if (option == "--level") {
            result_.level = parseNumber(option, value(option), kMinimumLevel, kMaximumLevel);
        } else if (option == "--threads") {
            result_.threads = parseNumber(option, value(option), 1, kMaximumThreads);
        } else if (option == "--cache") {
            result_.cache = true;
        } else if (option == "--cache-location") {
            result_.cacheLocation = value(option);
        } else if (option == "--sign-command") {
            result_.signCommand = signCommandText(option, value(option));
        } else {
            return false;
        }
        return true;
    }

    bool takeIdentity(const std::string& option) {
        Identity& identity = result_.identity;
        if (option == "--icon") {
            result_.icon = value(option);
        } else if (option == "--name") {
            identity.name = identityText(option, value(option));
        } else if (option == "--company") {
            identity.company = identityText(option, value(option));
        } else if (option == "--product") {
            identity.product = identityText(option, value(option));
        } else if (option == "--description") {
            identity.description = identityText(option, value(option));
        } else if (option == "--copyright") {
            identity.copyright = identityText(option, value(option));
        } else if (option == "--file-version") {
            identity.fileVersion = versionText(option, value(option));
        } else if (option == "--product-version") {
            identity.productVersion = versionText(option, value(option));
        } else {
            return false;
        }
        return true;
    }

    bool takeMode(const std::string& option) {
        if (option == "--attached-data") {
            selectMode(Mode::embedAttachedData, option);
        } else if (option == "--write-attached-data") {
            selectMode(Mode::writeAttachedData, option);
        } else if (option == "--list") {
            selectMode(Mode::list, option);
            result_.listed = value(option);
            return true;
        } else {
            return false;
        }
        result_.attachedData = value(option);
        return true;
    }

    void selectMode(Mode mode, const std::string& option) {
        if (result_.mode != Mode::pack) {
            usageError(option + " does not go with " + modeOption_);
        }
        result_.mode = mode;
        modeOption_ = option;
    }

    const std::string& value(const std::string& option) {
        if (next_ + 1 >= arguments_.size()) {
            usageError(option + " needs a value");
        }
        ++next_;
        return arguments_[next_];
    }

    void require(bool present, const char* what) {
        if (!present) {
            usageError(std::string(what) + " is missing");
        }
    }

    void checkComplete() {
        for (const std::string& option : seen_) {
            if (!optionFits(result_.mode, option)) {
                usageError(option + " does not go with " + modeOption_);
            }
        }
        if (seen_.count("--best") != 0 && seen_.count("--level") != 0) {
            usageError("--best does not go with --level");
        }
        if (seen_.count("--console") != 0 && seen_.count("--windowed") != 0) {
            usageError("--console does not go with --windowed");
        }
        if (seen_.count("--linux") != 0) {
            for (const std::string& option : kWindowsOnlyOptions) {
                if (seen_.count(option) != 0) {
                    usageError(option + " does not go with --linux: only a Windows package has it");
                }
            }
        }
        if (seen_.count("--cache-location") != 0 && !result_.cache) {
            usageError("--cache-location goes with --cache");
        }
        const bool needsDirectory =
            result_.mode == Mode::pack || result_.mode == Mode::writeAttachedData;
        if (!needsDirectory && !result_.directory.empty()) {
            usageError("unexpected argument '" + result_.directory + "'");
        }
        if (needsDirectory) {
            require(!result_.mainName.empty(), "--main");
            require(!result_.directory.empty(), "the directory to pack");
        }
        if (result_.mode == Mode::pack || result_.mode == Mode::embedAttachedData) {
            require(!result_.output.empty(), "--output");
        }
    }

    const std::vector<std::string>& arguments_;
    std::size_t next_ = 0;
    CommandLine result_;
    std::set<std::string> seen_;
    std::string modeOption_ = "packing a directory";
};

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    return Parser(arguments).parse();
}

const char* usageText() {
    return "Usage:\n"
           "  onefile-pack --main REL --output OUT.exe [LAUNCHER] [--level N | --best]\n"
           "               [--threads N] [--no-checksum] [--quiet]\n"
           "               [--cache [--cache-location L]] [--sign-command CMD]\n"
           "               [IDENTITY...] DIR\n"
           "      Packs every file below DIR into a copy of the launcher. REL, the\n"
           "      application's main DLL relative to DIR, becomes the first entry.\n"
           "  onefile-pack --attached-data FILE --output OUT.exe [LAUNCHER]\n"
           "               [--cache [--cache-location L]] [--sign-command CMD]\n"
           "               [IDENTITY...]\n"
           "      Embeds a prepared block of attached data as it is.\n"
           "  onefile-pack --write-attached-data FILE --main REL [--level N | --best]\n"
           "               [--threads N] [--no-checksum] [--quiet]\n"
           "               [--sign-command CMD] DIR\n"
           "      Writes only the attached data of DIR to FILE.\n"
           "  onefile-pack --list EXE\n"
           "      Prints \"subsystem windowed\", \"subsystem console\" or \"linux\",\n"
           "      then \"<size> <name>\" for every entry of a packaged executable\n"
           "      (with a final '*' for an entry a Linux package makes executable).\n"
           "\n"
           "LAUNCHER (default: --windowed):\n"
           "  --windowed        for a windowed application: Corvellinth.exe beside\n"
           "                    onefile-pack (GUI subsystem, no console)\n"
           "  --console         for a command-line tool: CorvellinthConsole.exe beside\n"
           "                    onefile-pack (console subsystem: the shell waits for\n"
           "                    it, output and Ctrl+C reach the application)\n"
           "  --linux           for Linux: corvellinth beside onefile-pack (an ELF\n"
           "                    executable; REL is the main shared object); files\n"
           "                    executable in DIR are unpacked executable\n"
           "  --launcher L      the launcher to copy instead; with --windowed or\n"
           "                    --console it must be of that subsystem, and a Linux\n"
           "                    launcher needs --linux\n"
           "\n"
           "Options:\n"
           "  --level N         zstd level, 1 to 22 (default 12)\n"
           "  --best            the smallest output (level 19), 5 to 10 times slower\n"
           "  --threads N       compression threads, 1 to 256 (default: one per\n"
           "                    processor)\n"
           "  --no-checksum     leaves the content checksum out of the compressed data\n"
           "                    (by default the launcher checks it before the\n"
           "                    application starts, and refuses damaged data)\n"
           "  --quiet           no progress line and no summary\n"
           "  --cache           runs unpack once into a cache folder and reuse that copy\n"
           "                    while the package is unchanged (default: a fresh copy\n"
           "                    per run, deleted at its end)\n"
           "  --cache-location L  where the copies go, with --cache (default:\n"
           "                    {CACHE_DIR}\\CorvellinthOnefile\\{COMPANY}\\{PRODUCT});\n"
           "                    {CACHE_DIR}, {TEMP} or {HOME} first, then folders, in\n"
           "                    which {COMPANY}, {PRODUCT} and {VERSION} are the\n"
           "                    package's\n"
           "  --sign-command CMD  signs every file of DIR that is a Windows program\n"
           "                    before it is packed, and the package last: CMD runs\n"
           "                    with /bin/sh -c (on Windows cmd.exe /c), {in} in it\n"
           "                    standing for the file to sign and {out} for where the\n"
           "                    signed file goes, both already quoted; it must end\n"
           "                    with exit code 0 and write {out} (not with --linux)\n"
           "\n"
           "IDENTITY (default: the launcher's icon and version record; with --linux\n"
           "only --name, --company, --product and the versions, which name the\n"
           "package for --cache-location):\n"
           "  --icon FILE.ico   the program's icon\n"
           "  --name NAME       internal name; original file name NAME.exe\n"
           "  --product TEXT    product name (default: NAME)\n"
           "  --description TEXT  file description, shown by Task Manager (default:\n"
           "                    the product name)\n"
           "  --company TEXT    company name\n"
           "  --copyright TEXT  legal copyright\n"
           "  --file-version V  file version, 1 to 4 numbers: 1.2.3.4 (default: the\n"
           "                    product version, else 1.0.0.0)\n"
           "  --product-version V  product version (default: the file version)\n"
           "  Giving any of the version options writes a new version record; NAME\n"
           "  defaults to the output's file name without .exe.\n"
           "\n"
           "Exit codes: 0 success, 1 failure (the message says why; no output file\n"
           "is left behind), 2 bad command line.\n";
}

} // namespace packer
