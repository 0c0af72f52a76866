#include "tools/profile-builder/InstallerDigest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <vector>

namespace veldmoor::profilebuilder {
namespace {

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

DigestContext NewDigest(const EVP_MD* kind) {
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (context && EVP_DigestInit_ex(context.get(), kind, nullptr) != 1) context.reset();
    return context;
}

std::string FinishDigest(EVP_MD_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    return std::string(reinterpret_cast<char*>(digest), length);
}

// Large enough that the hand-over to the MD5 thread costs nothing measurable.
constexpr size_t kChunkBytes = 8u << 20;

}  // namespace

struct DigestStream::Contexts {
    DigestContext md5{NewDigest(EVP_md5())};
    DigestContext piece{NewDigest(EVP_sha1())};
};

DigestStream::DigestStream(uint32_t pieceLength)
    : pieceLength_(pieceLength), contexts_(std::make_unique<Contexts>()) {}

DigestStream::~DigestStream() = default;

bool DigestStream::Ready() const { return pieceLength_ > 0 && contexts_->md5 && contexts_->piece; }

void DigestStream::Add(const char* bytes, size_t length) {
    AddToMd5(bytes, length);
    AddToPieces(bytes, length);
}

void DigestStream::AddToMd5(const char* bytes, size_t length) {
    EVP_DigestUpdate(contexts_->md5.get(), bytes, length);
}

void DigestStream::AddToPieces(const char* bytes, size_t length) {
    size_ += length;
    while (length > 0) {
        const size_t take = std::min<size_t>(length, pieceLength_ - inPiece_);
        EVP_DigestUpdate(contexts_->piece.get(), bytes, take);
        inPiece_ += take;
        bytes += take;
        length -= take;
        if (inPiece_ == pieceLength_) ClosePiece();
    }
}

InstallerDigests DigestStream::Finish() {
    if (inPiece_ > 0) ClosePiece();
    return {HexOf(FinishDigest(contexts_->md5.get())), pieceHashes_, size_};
}

void DigestStream::ClosePiece() {
    pieceHashes_ += FinishDigest(contexts_->piece.get());
    EVP_DigestInit_ex(contexts_->piece.get(), EVP_sha1(), nullptr);
    inPiece_ = 0;
}

std::string HexOf(const std::string& bytes) {
    static const char* kDigits = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

bool DigestFile(const std::string& path, uint32_t pieceLength, const HashProgress& progress,
                InstallerDigests& digests, std::string& error) {
    DigestStream stream(pieceLength);
    if (!stream.Ready()) {
        error = "no digest context (piece length " + std::to_string(pieceLength) + ")";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    file.seekg(0, std::ios::end);
    const auto total = static_cast<uint64_t>(file.tellg());
    file.seekg(0);
    std::vector<char> buffers[2] = {std::vector<char>(kChunkBytes), std::vector<char>(kChunkBytes)};
    auto readInto = [&](std::vector<char>& buffer) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        return static_cast<size_t>(file.gcount());
    };
    uint64_t done = 0;
    size_t current = 0;
    size_t length = readInto(buffers[current]);
    while (length > 0) {
        const char* bytes = buffers[current].data();
        auto md5 = std::async(std::launch::async, [&stream, bytes, length] { stream.AddToMd5(bytes, length); });
        stream.AddToPieces(bytes, length);
        const size_t next = 1 - current;
        const size_t nextLength = file.bad() ? 0 : readInto(buffers[next]);
        md5.get();
        done += length;
        if (progress) progress(done, total);
        current = next;
        length = nextLength;
    }
    if (file.bad() || done != total) {
        error = "cannot read " + path + " to its end (" + std::to_string(done) + " of " + std::to_string(total) +
                " bytes)";
        return false;
    }
    digests = stream.Finish();
    return true;
}

}  // namespace veldmoor::profilebuilder
