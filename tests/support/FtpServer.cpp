#include "tests/support/FtpServer.h"

#include <filesystem>
#include <vector>

#include "platform/Files.h"

namespace veldmoor::test {
namespace {

// Debian's python3-pyftpdlib belongs to the system interpreter, which need
// not be the first python3 on PATH.
std::string FtpServerPython() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

}  // namespace

int FtpServer::Start(const std::string& root, const std::string& logPath, const std::string& user,
                     const std::string& password, const std::string& passiveHost) {
    logPath_ = logPath;
    port_ = StartListeningOnFreePort(
        process_,
        [&](int port) {
            std::vector<std::string> arguments = {FtpServerPython(), "-m", "pyftpdlib", "-D", "-i", ipv6_ ? "::1" : "127.0.0.1",
                                                  "-p", std::to_string(port), "-d", root};
            if (!user.empty()) arguments.insert(arguments.end(), {"-u", user, "-P", password});
            if (!passiveHost.empty()) arguments.insert(arguments.end(), {"-n", passiveHost});
            return arguments;
        },
        logPath, ipv6_);
    return port_;
}

std::string FtpServer::Url(const std::string& path, const std::string& login) const {
    return "ftp://" + login + (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_) + path;
}

std::string FtpServer::Log() const { return platform::ReadWholeFile(logPath_).value_or(""); }

}  // namespace veldmoor::test
