// A stand-in for a signing tool, for the Windows packer's --sign-command
// under Wine, whose cmd.exe cannot start a Linux program such as
// osslsigncode:
//
//   sign_stand_in.exe RECORD IN OUT
//
// appends the bytes of IN to RECORD (what the packer handed over, in
// order), and writes IN followed by "signed" to OUT. Exit code 0, or 1 when
// a file cannot be read or written.
#include <stdio.h>

#include <string>

namespace {

bool readAll(const wchar_t* path, std::string* bytes) {
    FILE* const file = _wfopen(path, L"rb");
    if (file == nullptr) {
        return false;
    }
    char piece[65536];
    for (std::size_t got = 0; (got = fread(piece, 1, sizeof piece, file)) != 0;) {
        bytes->append(piece, got);
    }
    const bool read = ferror(file) == 0;
    fclose(file);
    return read;
}

bool writeAll(const wchar_t* path, const wchar_t* mode, const std::string& bytes) {
    FILE* const file = _wfopen(path, mode);
    if (file == nullptr) {
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::string bytes;
    if (argc != 4 || !readAll(argv[2], &bytes) || !writeAll(argv[1], L"ab", bytes) ||
        !writeAll(argv[3], L"wb", bytes + "signed")) {
        fputs("sign_stand_in: usage: sign_stand_in RECORD IN OUT, with IN readable\n", stderr);
        return 1;
    }
    return 0;
}
