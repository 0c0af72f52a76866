#pragma once
// A small real world for the controller: an installer served by nginx over
// HTTP (and a resource list over HTTPS with a CA made for the test), the
// controller on the process's real engine, and a loop that drives it as a
// window would.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {

// A certificate authority and a server certificate for 127.0.0.1, made with
// the openssl command. Empty paths when the command is missing or fails.
struct TestCertificates {
    std::string caFile;
    std::string certificateFile;
    std::string keyFile;
};
TestCertificates MakeCertificates(const std::string& folder, const std::string& name);

// Body bytes nginx sent for requests whose URI starts with `prefix`.
int64_t ServedBytes(const std::string& accessLog, const std::string& prefix);
int ServedRequests(const std::string& accessLog, const std::string& prefix);

class ControllerWorld {
public:
    // `serverConfig` goes into nginx's server block (for instance a rate limit).
    explicit ControllerWorld(const std::string& installerContent, const std::string& serverConfig = "",
                             bool withHttps = false);
    ~ControllerWorld();

    bool Ready() const { return port_ != 0; }
    std::string InstallerUrl() const;  // the built-in URL
    std::string HttpsUrl(const std::string& path) const;
    std::string WebRoot() const { return dir_.File("www"); }
    std::string AccessLog() const { return nginx_.AccessLog(); }
    int Port() const { return port_; }
    const TestCertificates& Certificates() const { return certificates_; }

    // Puts a file under the web root.
    void Serve(const std::string& path, const std::string& bytes) const;

    ProductProfile& Profile() { return profile_; }
    DownloadController& Controller();
    // Builds the controller (once the profile is as the test wants it),
    // runs LoadDefaults and Initialise, and returns Initialise's result.
    int StartController();
    void StopController();

    // Polls every 20 ms, ticking and refreshing the speed before every fifth poll,
    // until `done` holds; false when `limit` passed first.
    bool DriveUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60));
    bool DriveUntilState(DownloadState state, std::chrono::seconds limit = std::chrono::seconds(60));

    std::string Target() const;
    std::string SaveDirectory() const;
    ControllerPaths& Paths() { return paths_; }

    // When set, each poll moves this clock on, so rules that wait tens of
    // seconds of engine time pass in a few real ones.
    platform::DrivenClock* clock = nullptr;
    uint32_t clockMsPerPoll = 0;

    CapturingSink sink;
    RecordingView view;
    NoPortMapping noPorts;
    IPortMapping* ports = &noPorts;  // set before StartController to grant a port

private:
    TempDir dir_;
    NginxServer nginx_;
    int port_ = 0;
    int httpsPort_ = 0;
    TestCertificates certificates_;
    ControllerPaths paths_;
    ProductProfile profile_;
    std::unique_ptr<DownloadController> controller_;
};

}  // namespace veldmoor::test
