// SHA-256 (FIPS 180-4), fed in pieces: the content key of a cached package
// is the start of the digest of its attached data.
//
//   packer::Sha256 digest;
//   digest.add(piece, size); // as often as needed
//   const packer::Sha256::Digest value = digest.finish();
#ifndef CORVELLINTH_TOOLS_PACKER_SHA256_H
#define CORVELLINTH_TOOLS_PACKER_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace packer {

class Sha256 {
  public:
    using Digest = std::array<unsigned char, 32>;

    Sha256();
    void add(const void* data, std::size_t size);
    // The digest of everything added; the object takes nothing afterwards.
    Digest finish();

  private:
    void compressBlock(const unsigned char* block);

    std::array<std::uint32_t, 8> state_;
    std::array<unsigned char, 64> pending_{};
    std::size_t pendingSize_ = 0;
    std::uint64_t totalBytes_ = 0;
};

} // namespace packer

#endif
