#include "torrent/Sha1State.h"

#include <cstring>

namespace veldmoor {
namespace {

constexpr size_t kBlockBytes = 64;
constexpr size_t kCountOffset = 28;
constexpr size_t kBufferOffset = 30;
constexpr size_t kComputedOffset = 96;
constexpr size_t kCorruptedOffset = 100;

void PutWord(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetWord(const uint8_t* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{in[i]} << (8 * i);
    return value;
}

}  // namespace

Sha1Hasher::Sha1Hasher() { Reset(); }

void Sha1Hasher::Reset() { SHA1_Init(&context_); }

void Sha1Hasher::Update(const void* bytes, size_t length) {
    if (length > 0) SHA1_Update(&context_, bytes, length);
}

Sha1Digest Sha1Hasher::Digest() const {
    SHA_CTX copy = context_;
    Sha1Digest digest{};
    SHA1_Final(digest.data(), &copy);
    return digest;
}

uint64_t Sha1Hasher::BytesHashed() const {
    const uint64_t bits = (uint64_t{context_.Nh} << 32) | context_.Nl;
    return bits / 8;
}

Sha1StateImage Sha1Hasher::ToImage() const {
    Sha1StateImage image{};
    const uint32_t words[] = {context_.h0, context_.h1, context_.h2, context_.h3,
                              context_.h4, context_.Nl, context_.Nh};
    for (size_t i = 0; i < 7; ++i) PutWord(image.data() + 4 * i, words[i]);
    image[kCountOffset] = static_cast<uint8_t>(context_.num & 0xFF);
    image[kCountOffset + 1] = static_cast<uint8_t>((context_.num >> 8) & 0xFF);
    // OpenSSL keeps the pending bytes in message order inside `data`.
    std::memcpy(image.data() + kBufferOffset, context_.data, kBlockBytes);
    return image;
}

bool Sha1Hasher::FromImage(const Sha1StateImage& image, uint64_t bytesHashed) {
    const uint32_t low = GetWord(image.data() + 20);
    const uint32_t high = GetWord(image.data() + 24);
    const uint32_t buffered = uint32_t{image[kCountOffset]} | (uint32_t{image[kCountOffset + 1]} << 8);
    const uint64_t bits = (uint64_t{high} << 32) | low;
    if (bytesHashed > (UINT64_MAX >> 3) || bits != bytesHashed * 8) return false;
    if (buffered >= kBlockBytes || buffered != bytesHashed % kBlockBytes) return false;
    if (GetWord(image.data() + kComputedOffset) != 0 || GetWord(image.data() + kCorruptedOffset) != 0) return false;

    SHA_CTX restored;
    std::memset(&restored, 0, sizeof restored);
    restored.h0 = GetWord(image.data());
    restored.h1 = GetWord(image.data() + 4);
    restored.h2 = GetWord(image.data() + 8);
    restored.h3 = GetWord(image.data() + 12);
    restored.h4 = GetWord(image.data() + 16);
    restored.Nl = low;
    restored.Nh = high;
    restored.num = buffered;
    std::memcpy(restored.data, image.data() + kBufferOffset, kBlockBytes);
    context_ = restored;
    return true;
}

Sha1Digest Sha1Of(const void* bytes, size_t length) {
    Sha1Hasher hasher;
    hasher.Update(bytes, length);
    return hasher.Digest();
}

std::string HexText(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace veldmoor
