#include "tools/packer/sha256.h"

#include <algorithm>
#include <cstring>

namespace packer {
namespace {

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthSize = 8;

std::uint32_t rotateRight(std::uint32_t value, int count) {
    return (value >> count) | (value << (32 - count));
}

std::uint32_t loadBigEndian(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

} // namespace

Sha256::Sha256() : state_(kInitialState) {}

void Sha256::compressBlock(const unsigned char* block) {
    std::array<std::uint32_t, 64> schedule;
    for (std::size_t index = 0; index < 16; ++index) {
        schedule[index] = loadBigEndian(block + 4 * index);
    }
    for (std::size_t index = 16; index < 64; ++index) {
        const std::uint32_t low = schedule[index - 15];
        const std::uint32_t high = schedule[index - 2];
        const std::uint32_t sigma0 = rotateRight(low, 7) ^ rotateRight(low, 18) ^ (low >> 3);
        const std::uint32_t sigma1 = rotateRight(high, 17) ^ rotateRight(high, 19) ^ (high >> 10);
        schedule[index] = schedule[index - 16] + sigma0 + schedule[index - 7] + sigma1;
    }
    std::array<std::uint32_t, 8> v = state_;
    for (std::size_t index = 0; index < 64; ++index) {
        const std::uint32_t sum1 =
            rotateRight(v[4], 6) ^ rotateRight(v[4], 11) ^ rotateRight(v[4], 25);
        const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
        const std::uint32_t first = v[7] + sum1 + choice + kRoundConstants[index] + schedule[index];
        const std::uint32_t sum0 =
            rotateRight(v[0], 2) ^ rotateRight(v[0], 13) ^ rotateRight(v[0], 22);
        const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        const std::uint32_t second = sum0 + majority;
        v = {first + second, v[0], v[1], v[2], v[3] + first, v[4], v[5], v[6]};
    }
    for (std::size_t index = 0; index < 8; ++index) {
        state_[index] += v[index];
    }
}

void Sha256::add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    totalBytes_ += size;
    while (size > 0) {
        const std::size_t taken = std::min(size, kBlockSize - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, bytes, taken);
        pendingSize_ += taken;
        bytes += taken;
        size -= taken;
        if (pendingSize_ == kBlockSize) {
            compressBlock(pending_.data());
            pendingSize_ = 0;
        }
    }
}

// Padding: a 1 bit, zeros up to 8 bytes before a block's end, then the
// message length in bits, big-endian.
Sha256::Digest Sha256::finish() {
    const std::uint64_t bits = totalBytes_ * 8;
    const unsigned char one = 0x80;
    add(&one, 1);
    const unsigned char zero = 0;
    while (pendingSize_ != kBlockSize - kLengthSize) {
        add(&zero, 1);
    }
    unsigned char length[kLengthSize];
    for (std::size_t index = 0; index < kLengthSize; ++index) {
        length[index] = static_cast<unsigned char>(bits >> (8 * (kLengthSize - 1 - index)));
    }
    add(length, kLengthSize);
    Digest digest;
    for (std::size_t index = 0; index < 8; ++index) {
        for (std::size_t byte = 0; byte < 4; ++byte) {
            digest[4 * index + byte] = static_cast<unsigned char>(state_[index] >> (24 - 8 * byte));
        }
    }
    return digest;
}

} // namespace packer
