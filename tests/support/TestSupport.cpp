#include "tests/support/TestSupport.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <unistd.h>

namespace veldmoor::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veldmoor-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int UdpPortFromNatdLog(const std::string& logPath) {
    constexpr std::string_view kMarker = "listening on UDP port ";
    int port = 0;
    WaitUntil(
        [&] {
            std::ifstream log(logPath);
            std::string line;
            while (std::getline(log, line)) {
                const size_t at = line.find(kMarker);
                if (at != std::string::npos) {
                    port = std::atoi(line.c_str() + at + kMarker.size());
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(5));
    return port;
}

std::string Md5OfFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "missing " + path;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return "no MD5";
    std::vector<char> buffer(size_t{4} << 20);
    while (file) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (file.gcount() > 0) EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(file.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return "no MD5";
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

bool RunningAsRoot() { return ::geteuid() == 0; }

std::string ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::string Sha1Digest(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string BencodedText(const std::string& text) { return std::to_string(text.size()) + ":" + text; }

}  // namespace veldmoor::test
