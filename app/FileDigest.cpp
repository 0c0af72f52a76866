#include "app/FileDigest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

#include "platform/Files.h"

namespace veldmoor {

std::string FileMd5(const std::string& path, const std::function<void(uint32_t)>& progress,
                    const std::atomic<bool>* stop) {
    constexpr size_t kBlock = 4096;
    if (progress) progress(0);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return {};
    const std::optional<uint64_t> size = platform::FileSize(path);
    if (!size) return {};
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return {};

    // Whole blocks, and one more for a tail, so a small file still reaches 10000.
    const uint64_t blocks = (*size + kBlock - 1) / kBlock;
    uint64_t done = 0;
    char buffer[kBlock];
    for (;;) {
        const size_t read = std::fread(buffer, 1, sizeof buffer, file.get());
        if (read == 0) break;
        if (EVP_DigestUpdate(context.get(), buffer, read) != 1) return {};
        ++done;
        if (progress) progress(static_cast<uint32_t>(std::min<uint64_t>(10000, done * 10000 / std::max<uint64_t>(1, blocks))));
        if (stop && stop->load()) return {};
    }
    if (std::ferror(file.get())) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    if (progress) progress(10000);
    return text;
}

}  // namespace veldmoor
