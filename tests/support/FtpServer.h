#pragma once
// A real FTP server (pyftpdlib) on loopback for the length of a test, with a
// log of every command and reply ("<- rest 0", "-> 213 1000").
#include <string>

#include "tests/support/ChildProcess.h"

namespace veldmoor::test {

class FtpServer {
public:
    // Serves `root` read-only on a free loopback port; anonymous unless a
    // user is given. `passiveHost` is the address PASV replies name instead
    // of the server's own. The port, or 0 when it did not start.
    int Start(const std::string& root, const std::string& logPath, const std::string& user = "",
              const std::string& password = "", const std::string& passiveHost = "");
    // Listens on [::1] instead of 127.0.0.1 (before Start).
    void UseIpv6Loopback() { ipv6_ = true; }
    // `login` is "user:password@" or empty.
    std::string Url(const std::string& path, const std::string& login = "") const;
    std::string Log() const;
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

private:
    ChildProcess process_;
    int port_ = 0;
    bool ipv6_ = false;
    std::string logPath_;
};

}  // namespace veldmoor::test
