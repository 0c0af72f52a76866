#pragma once
// A real nginx on loopback, serving a folder, for the length of a test.
#include <string>

#include "tests/support/ChildProcess.h"

namespace veldmoor::test {

class NginxServer {
public:
    ~NginxServer() { Stop(); }

    // Serves `root` on a free loopback port; `extraServerConfig` is added
    // inside the server block (for instance "limit_rate 1m;"). The port, or 0
    // when nginx is missing or did not start.
    int Start(const std::string& root, const std::string& workFolder, const std::string& extraServerConfig = "");
    void Stop() { process_.Stop(); }
    // Listens on [::1] instead of 127.0.0.1 (before Start).
    void UseIpv6Loopback() { ipv6_ = true; }
    int Port() const { return port_; }
    std::string Url(const std::string& path) const;
    // One line per request: "URI STATUS [RANGE] BODY-BYTES".
    std::string AccessLog() const;
    // One line per request: "CONNECTION REQUEST-ON-IT STATUS BYTES-SENT [RANGE] [IF-RANGE]",
    // the bytes counting the header and all the body that went into the socket.
    std::string ConnectionLog() const;

private:
    ChildProcess process_;
    int port_ = 0;
    bool ipv6_ = false;
    std::string workFolder_;
};

}  // namespace veldmoor::test
