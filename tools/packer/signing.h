// onefile-pack --sign-command CMD: the user's own signing tool, run on
// every entry that is a Windows program before it is compressed and on the
// finished package last. In CMD, {in} stands for the file to sign and {out}
// for where the signed file must be written; both are files of the packer,
// beside the output, handed to the shell quoted and removed afterwards.
//
//   Signer signer(command, output);
//   const std::string signedPath = signer.signCopyOf(source, ".dll", "entry 'main.dll'");
#ifndef CORVELLINTH_TOOLS_PACKER_SIGNING_H
#define CORVELLINTH_TOOLS_PACKER_SIGNING_H

#include <string>

namespace packer {

class Signer {
  public:
    // command as given; outputPath is the file being made (the temporary
    // files go beside it).
    Signer(std::string command, const std::string& outputPath);
    ~Signer(); // removes the temporary files
    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;

    // Signs a copy of the file at source, which stays as it is, and returns
    // the path of the signed file, valid until the next call. extension
    // (".dll", or "") ends both temporary names, for tools that look at it.
    // what names the file in messages. Throws PackError, naming what, when
    // the command cannot start, ends with another exit code than 0, or
    // writes no file at {out}.
    std::string signCopyOf(const std::string& source, const std::string& extension,
                           const std::string& what);

    // Signs a file of the packer's own, handed to the command as it is, and
    // puts the signed bytes in its place (so it keeps its permissions).
    void signInPlace(const std::string& path, const std::string& extension,
                     const std::string& what);

  private:
    std::string sign(const std::string& input, const std::string& extension,
                     const std::string& what);
    void removeTemporaryFiles();

    std::string command_;
    std::string outputPath_;
    std::string copyPath_;   // the copy of the current source, {in}
    std::string signedPath_; // {out}
};

// The extension of an entry name that the temporary files keep: ".dll",
// ".exe" and the like (a dot and 1 to 8 ASCII letters or digits), else "".
std::string signedFileExtension(const std::u16string& name);

} // namespace packer

#endif
