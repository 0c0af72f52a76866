#include "tests/tools/DemoWorld.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/ChildProcess.h"

namespace veldmoor::test {
namespace {

bool AcceptsConnections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

constexpr const char* kFileName = "VeldmoorDemo_setup_0.1.0.0.run";

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Url(const char* scheme, int port, const std::string& path) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace

DemoWorld::~DemoWorld() {
    std::string ignored;
    if (up_) Down(ignored);
}

bool DemoWorld::Make(const DemoWorldSettings& settings, std::string& error) {
    settings_ = settings;
    for (const char* name : {"MIRROR", "MIRROR2", "MIRROR3", "LIST", "TRACKER", "TRACKER_BACKEND", "STATS", "SEED1",
                             "SEED2"}) {
        int port = 0;
        // Distinct ports, none of them taken right now.
        do port = FreeLoopbackPort();
        while ([&] {
            for (const auto& [other, taken] : ports_)
                if (taken == port) return true;
            return false;
        }());
        ports_[name] = port;
    }
    profilebuilder::DemoProductOptions options;
    options.outputFolder = BuildFolder() + "/profile/demo";
    options.installerSize = settings.installerSize;
    options.installerUrl = Url("http", ports_["MIRROR"], std::string("/demo/") + kFileName);
    options.resourceListUrl = Url("https", ports_["LIST"], "/downloader/VeldmoorDemoResourceList.xml");
    options.announceUrl = Url("http", ports_["TRACKER"], "/announce");
    options.caFile = WorldFolder() + "/tls/ca.pem";
    options.statisticsUrl = Url("http", ports_["STATS"], "/launchersubmit/eventListSubmit");
    options.natServerName = "127.0.0.1";
    options.writeSourceCode = false;
    if (!profilebuilder::BuildDemoProduct(options, product_, error)) return false;

    std::ofstream env(BuildFolder() + "/demo-world.env");
    env << "VELDMOOR_DEMO_WORLD_DIR='" << WorldFolder() << "'\n"
        << "VELDMOOR_DEMO_MIRROR_PORT='" << ports_["MIRROR"] << "'\n"
        << "VELDMOOR_DEMO_LIST_PORT='" << ports_["LIST"] << "'\n"
        << "VELDMOOR_DEMO_TRACKER_PORT='" << ports_["TRACKER"] << "'\n"
        << "VELDMOOR_DEMO_STATS_PORT='" << ports_["STATS"] << "'\n"
        << "VELDMOOR_DEMO_FILE_NAME='" << kFileName << "'\n"
        << "VELDMOOR_DEMO_INSTALLER='" << product_.installerPath << "'\n"
        << "VELDMOOR_DEMO_TORRENT='" << product_.torrentPath << "'\n"
        << "VELDMOOR_DEMO_INFOHASH_FILE='" << options.outputFolder << "/infohash.txt'\n"
        << "VELDMOOR_DEMO_INSTALLER_URL='" << options.installerUrl << "'\n"
        << "VELDMOOR_DEMO_LIST_URL='" << options.resourceListUrl << "'\n"
        << "VELDMOOR_DEMO_CA_FILE='" << options.caFile << "'\n";
    if (!env) error = "cannot write demo-world.env";
    return static_cast<bool>(env);
}

int DemoWorld::RunScript(const std::string& command, std::string& output) {
    const std::string log = folder_ + "/script.log";
    const std::string line =
        "VELDMOOR_DEMO_BUILD='" + BuildFolder() + "' VELDMOOR_GET='" + VELDMOOR_GET_PATH + "'" +
        " VELDMOOR_STATSD='" + VELDMOOR_STATSD_PATH + "'" +
        " VELDMOOR_DEMO_MIRROR2_PORT=" + std::to_string(ports_["MIRROR2"]) +
        " VELDMOOR_DEMO_MIRROR3_PORT=" + std::to_string(ports_["MIRROR3"]) +
        " VELDMOOR_DEMO_SEED1_PORT=" + std::to_string(ports_["SEED1"]) +
        " VELDMOOR_DEMO_SEED2_PORT=" + std::to_string(ports_["SEED2"]) +
        " VELDMOOR_DEMO_TRACKER_BACKEND_PORT=" + std::to_string(ports_["TRACKER_BACKEND"]) +
        " VELDMOOR_DEMO_MIRROR_RATE=" + settings_.mirrorRate +
        " VELDMOOR_DEMO_SEEDERS=" + std::to_string(settings_.seeders) + " " + DEMO_WORLD_SCRIPT + " " + command +
        " > '" + log + "' 2>&1";
    const int status = std::system(line.c_str());
    output = ReadText(log);
    return status;
}

std::string DemoWorld::StatisticsReport() const {
    const std::string report = folder_ + "/statistics-report.txt";
    const std::string line = std::string("'") + VELDMOOR_STATSD_PATH + "' report --database '" + WorldFolder() +
                             "/stats/events.sqlite' > '" + report + "' 2>&1";
    if (std::system(line.c_str()) != 0) return "report failed: " + ReadText(report);
    return ReadText(report);
}

bool DemoWorld::Up(std::string& output) {
    up_ = true;
    return RunScript("up", output) == 0;
}

bool DemoWorld::Down(std::string& output) {
    const bool done = RunScript("down", output) == 0;
    up_ = !done;
    return done;
}

bool DemoWorld::StatusSaysUp() {
    std::string ignored;
    return RunScript("status", ignored) == 0;
}

std::string DemoWorld::MirrorLog(int mirror) const {
    return WorldFolder() + "/logs/mirror" + std::to_string(mirror) + ".access.log";
}

uint64_t DemoWorld::MirrorBytes(int mirror) const {
    std::istringstream lines(ReadText(MirrorLog(mirror)));
    std::string line;
    uint64_t total = 0;
    while (std::getline(lines, line)) {
        const size_t space = line.rfind(' ');
        if (space != std::string::npos) total += std::stoull(line.substr(space + 1));
    }
    return total;
}

std::vector<int> DemoWorld::Pids() const {
    std::vector<int> pids;
    for (const char* name : {"nginx", "opentracker", "seed1", "seed2"}) {
        const std::string text = ReadText(WorldFolder() + "/run/" + name + ".pid");
        if (!text.empty()) pids.push_back(std::stoi(text));
    }
    return pids;
}

std::vector<int> DemoWorld::ListeningPorts() const {
    std::vector<int> open;
    for (const auto& [name, port] : ports_) {
        if (AcceptsConnections(port)) open.push_back(port);
    }
    return open;
}

}  // namespace veldmoor::test
