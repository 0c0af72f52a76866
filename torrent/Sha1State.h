#pragma once
// SHA-1 that can be paused and resumed across runs: the running state
// converts to and from a 104-byte image that the saved piece status carries.
#include <openssl/sha.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veldmoor {

inline constexpr size_t kSha1DigestSize = 20;
inline constexpr size_t kSha1StateImageSize = 104;

using Sha1Digest = std::array<uint8_t, kSha1DigestSize>;
using Sha1StateImage = std::array<uint8_t, kSha1StateImageSize>;

class Sha1Hasher {
public:
    Sha1Hasher();

    void Reset();
    void Update(const void* bytes, size_t length);
    void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
    // The digest of everything fed so far; the hasher may go on afterwards.
    Sha1Digest Digest() const;
    uint64_t BytesHashed() const;

    // Little-endian image: h0..h4, the bit count (low word, high word), a
    // 16-bit count of buffered bytes, the 64-byte block buffer, 2 padding
    // bytes, a computed flag and a corrupted flag (both 0 while running).
    Sha1StateImage ToImage() const;
    // Takes the state from `image` when it is a running state over exactly
    // `bytesHashed` bytes; otherwise false and the hasher is unchanged.
    bool FromImage(const Sha1StateImage& image, uint64_t bytesHashed);

private:
    SHA_CTX context_;
};

Sha1Digest Sha1Of(const void* bytes, size_t length);
inline Sha1Digest Sha1Of(std::string_view bytes) { return Sha1Of(bytes.data(), bytes.size()); }

// 40 lower-case hexadecimal digits.
std::string HexText(const uint8_t* bytes, size_t length);

}  // namespace veldmoor
