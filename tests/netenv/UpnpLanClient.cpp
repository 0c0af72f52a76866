// Runs the port mapping as the program would, inside the test's LAN namespace,
// and listens on the mapped port. Prints what happens, one line each:
//   PORT <port>, LOG <text>, EVENT <code> <text>, MAPPED, ENTRY <client> <port>
//   <lease> <description>, ACCEPTED <peer address> <bytes>, REMOVED.
// SIGTERM is the clean exit: the mapping is removed before the program ends.
//
// With "--connect <address> <port>" it is the party on the WAN side instead:
// sends "ping" and prints "REPLY <answer>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "foundation/CVeldmoorLog.h"
#include "foundation/EventSink.h"
#include "netenv/LocalNetwork.h"
#include "netenv/MiniupnpcGateway.h"
#include "netenv/UpnpPortMapping.h"
#include "platform/Clock.h"
#include "platform/Signals.h"

namespace {

using namespace veldmoor;

void PrintLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

class PrintingLog final : public CVeldmoorLog {
public:
    void SetLevels(int32_t, int32_t) override {}
    void SetBasePath(const std::string&) override {}
    void Write(const std::string& text, int32_t channel, int32_t) override {
        PrintLine("LOG " + std::to_string(channel) + " " + text);
    }
    void Debug(const char*, ...) override {}
};

class PrintingSink final : public IEventSink {
public:
    bool Start(const StatisticsIdentity&) override { return true; }
    void Stop() override {}
    std::string MachineIdText() const override { return {}; }
    void SimpleEvent(const std::string& code, const std::string&, const std::string& text) override {
        PrintLine("EVENT " + code + " " + text);
    }
    void ProgressEvent(const std::string&, const std::string&, const ProgressSnapshot&) override {}
    void PieceCheckEvent(const std::string&, const std::string&, uint32_t, const std::string&) override {}
};

sockaddr_in Endpoint(const char* address, int port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &endpoint.sin_addr);
    return endpoint;
}

int Listen(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in endpoint = Endpoint("0.0.0.0", port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0 || ::listen(fd, 4) != 0) {
        PrintLine("LISTEN-FAILED");
        ::close(fd);
        return -1;
    }
    return fd;
}

void AnswerOneConnection(int listener) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int connection = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    if (connection < 0) return;
    char buffer[64] = {};
    const ssize_t got = ::recv(connection, buffer, sizeof buffer - 1, 0);
    char peerText[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
    PrintLine(std::string("ACCEPTED ") + peerText + " " + std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0));
    ::send(connection, "pong", 4, MSG_NOSIGNAL);
    ::close(connection);
}

void PrintRouterEntry(const std::string& address, int port) {
    MiniupnpcGateway gateway;
    const GatewaySearch search = gateway.FindGateway(address);
    if (search.outcome != GatewaySearchOutcome::kFound) return;
    const auto entry = gateway.FindPortMapping(search.gateway, std::to_string(port), "TCP");
    if (!entry) {
        PrintLine("NO-ENTRY");
        return;
    }
    PrintLine("ENTRY " + entry->internalClient + " " + entry->internalPort + " " +
              std::to_string(entry->leaseSeconds) + " " + entry->description);
}

int RunMapping() {
    platform::WatchStopSignals();
    PrintingSink sink;
    PrintingLog log;
    UpnpPortMapping mapping(sink, log, std::make_unique<SystemLocalNetwork>(), std::make_unique<MiniupnpcGateway>());
    const int port = mapping.SetUpPortMapping();
    PrintLine("PORT " + std::to_string(port));
    const int listener = port > 0 ? Listen(port) : -1;

    bool reportedMapping = false;
    while (platform::ReceivedStopSignal() == platform::StopSignal::kNone) {
        mapping.DeliverNotifications();
        if (mapping.Mapped() && !reportedMapping) {
            reportedMapping = true;
            PrintRouterEntry(SystemLocalNetwork().LocalAddress()->Text(), port);
            PrintLine("MAPPED");
        }
        pollfd waiting{listener, POLLIN, 0};
        if (listener >= 0 && ::poll(&waiting, 1, 100) > 0) {
            AnswerOneConnection(listener);
        } else if (listener < 0) {
            platform::SleepMs(100);
        }
    }
    mapping.RemoveMapping();
    if (listener >= 0) ::close(listener);
    PrintLine("REMOVED");
    return 0;
}

int RunConnect(const char* address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in endpoint = Endpoint(address, port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0) {
        PrintLine("CONNECT-FAILED");
        return 1;
    }
    ::send(fd, "ping", 4, MSG_NOSIGNAL);
    char buffer[16] = {};
    const ssize_t got = ::recv(fd, buffer, sizeof buffer - 1, 0);
    PrintLine("REPLY " + std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0));
    ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--connect") return RunConnect(argv[2], std::atoi(argv[3]));
    return RunMapping();
}
