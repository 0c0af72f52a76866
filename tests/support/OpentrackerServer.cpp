#include "tests/support/OpentrackerServer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace veldmoor::test {
namespace {

constexpr const char* kProgram = "opentracker";
// Looked up inside the server's folder, which is its root once it changed root.
constexpr const char* kWhitelistName = "whitelist";

std::string Hex(const std::array<uint8_t, 20>& bytes) {
    std::string text;
    char digits[3];
    for (const uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

}  // namespace

int OpentrackerServer::Start(const std::vector<std::array<uint8_t, 20>>& infoHashes, const std::string& workFolder) {
    if (!ProgramExists(kProgram)) return 0;
    namespace fs = std::filesystem;
    // The server drops to an unprivileged user, which must still read its folder.
    const fs::path folder = fs::path(workFolder) / "opentracker";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    {
        std::ofstream whitelist(folder / kWhitelistName);
        for (const auto& hash : infoHashes) whitelist << Hex(hash) << "\n";
    }
    fs::permissions(folder / kWhitelistName, fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read | fs::perms::others_read);
    port_ = StartListeningOnFreePort(
        process_,
        [&](int port) {
            const std::string portText = std::to_string(port);
            return std::vector<std::string>{kProgram, "-i", "127.0.0.1",     "-p", portText,
                                            "-P",     portText, "-d", folder.string(), "-w", kWhitelistName};
        },
        workFolder + "/opentracker.log");
    return port_;
}

std::string OpentrackerServer::AnnounceUrl(bool udp) const {
    return std::string(udp ? "udp" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/announce";
}

}  // namespace veldmoor::test
