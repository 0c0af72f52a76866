#include "tools/profile-builder/DemoInstaller.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace veldmoor::profilebuilder {
namespace {

// splitmix64: incompressible-looking filler, so no transport can shortcut it.
class Filler {
public:
    void Fill(char* out, size_t length) {
        for (size_t at = 0; at < length; at += 8) {
            uint64_t word = Next();
            const size_t count = std::min<size_t>(8, length - at);
            for (size_t i = 0; i < count; ++i, word >>= 8) out[at + i] = static_cast<char>(word & 0xff);
        }
    }

private:
    uint64_t Next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint64_t state_ = 0x56656c646d6f6f72ull;
};

}  // namespace

std::string DemoInstallerHeader(const std::string& version) {
    return "#!/bin/sh\n"
           "# Veldmoor demo installer. Everything after the exit line is filler that\n"
           "# gives the download the size of a real installer.\n"
           "echo \"Veldmoor demo installer " + version + ": started as $0\"\n"
           "if command -v md5sum >/dev/null 2>&1; then\n"
           "  echo \"MD5 of this file: $(md5sum < \"$0\" | cut -d' ' -f1)\"\n"
           "fi\n"
           "if [ -n \"${VELDMOOR_DEMO_MARK:-}\" ]; then echo \"ran $0\" >> \"$VELDMOOR_DEMO_MARK\"; fi\n"
           "echo \"Nothing to install: this file stands in for a game installer.\"\n"
           "exit 0\n"
           "# filler follows\n";
}

bool WriteDemoInstaller(const std::string& path, uint64_t size, const std::string& version, uint32_t pieceLength,
                        InstallerDigests& digests, std::string& error) {
    const std::string header = DemoInstallerHeader(version);
    if (size < header.size()) {
        error = "the installer must be at least " + std::to_string(header.size()) + " bytes";
        return false;
    }
    if (pieceLength == 0) {
        error = "the piece length must not be 0";
        return false;
    }
    DigestStream stream(pieceLength);
    if (!stream.Ready()) {
        error = "no digest context";
        return false;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        error = "cannot create " + path;
        return false;
    }
    file.write(header.data(), static_cast<std::streamsize>(header.size()));
    stream.Add(header.data(), header.size());
    Filler filler;
    std::vector<char> chunk(1 << 20);
    for (uint64_t left = size - header.size(); left > 0;) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        filler.Fill(chunk.data(), length);
        file.write(chunk.data(), static_cast<std::streamsize>(length));
        stream.Add(chunk.data(), length);
        left -= length;
    }
    file.close();
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    std::error_code ignored;
    namespace fs = std::filesystem;
    fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, ignored);
    digests = stream.Finish();
    return true;
}

}  // namespace veldmoor::profilebuilder
