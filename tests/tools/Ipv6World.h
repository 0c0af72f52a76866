#pragma once
// Two network namespaces a test makes as root (tests/tools/ipv6_namespaces.sh):
// a server side with an nginx mirror and a tracker that answers over both
// families, and a client side; "mirror.v6.test" and "tracker.v6.test" name
// the server in both. Programs started here stop with the world.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/tools/ProgramRun.h"

namespace veldmoor::test {

enum class Ipv6WorldKind {
    kIpv6Only,        // no IPv4 between the sides; the names have only an AAAA address
    kDualStack,       // both families between the sides and for the names
    kBlackholedIpv6,  // both families, but the server drops the client's IPv6 packets
};

class Ipv6World {
public:
    static constexpr const char* kServerAddress = "2001:db8:1::1";
    static constexpr const char* kServerPeerAddress = "2001:db8:1::3";
    static constexpr const char* kClientAddress = "2001:db8:1::2";

    explicit Ipv6World(std::string folder) : folder_(std::move(folder)) {}
    ~Ipv6World();
    Ipv6World(const Ipv6World&) = delete;
    Ipv6World& operator=(const Ipv6World&) = delete;

    bool Up(Ipv6WorldKind kind);
    // nginx on the server's addresses serving `root`; false when it did not start.
    bool StartMirror(const std::string& root);
    // The tracker on every server address, HTTP and UDP on one port.
    bool StartTracker();

    // A program in a namespace, its output in the world's folder as NAME.out
    // and NAME.err; stopped with the world unless the test ends it first.
    ProgramRun& RunInClient(const std::vector<std::string>& command, const std::string& name);
    ProgramRun& RunInServer(const std::vector<std::string>& command, const std::string& name);

    std::string MirrorUrl(const std::string& path) const;
    std::string AnnounceUrl(bool udp) const;
    // The tracker's announce lines ("announce http|udp v4|v6 ADDRESS PORT LEFT").
    std::string TrackerLog() const;
    std::string MirrorAccessLog() const;
    std::string Logs() const;

    std::string File(const std::string& name) const { return folder_ + "/" + name; }
    // A port for a program in the world: the namespaces are the test's own,
    // so any is free there; it is still chosen now, not fixed.
    static int PortChosenNow();

private:
    ProgramRun& RunIn(const std::string& side, const std::vector<std::string>& command, const std::string& name);
    static int Script(const std::string& arguments);

    std::string folder_;
    std::string suffix_;
    bool up_ = false;
    ChildProcess mirror_;
    ChildProcess tracker_;
    int mirrorPort_ = 0;
    int trackerPort_ = 0;
    std::vector<std::string> names_;
    std::vector<std::unique_ptr<ProgramRun>> runs_;
};

}  // namespace veldmoor::test
