#include "tests/tools/Ipv6World.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {
namespace {

constexpr const char* kIp = "/usr/sbin/ip";
constexpr auto kStartLimit = std::chrono::seconds(10);

std::string ReadText(const std::string& path) { return platform::ReadWholeFile(path).value_or(""); }

}  // namespace

int Ipv6World::PortChosenNow() {
    std::random_device random;
    return std::uniform_int_distribution<int>(20000, 59999)(random);
}

Ipv6World::~Ipv6World() {
    runs_.clear();
    mirror_.Stop();
    tracker_.Stop();
    if (up_) Script("down " + suffix_);
}

int Ipv6World::Script(const std::string& arguments) {
    return std::system(("sh " VELDMOOR_IPV6_NAMESPACES_SCRIPT " " + arguments + " >/dev/null 2>&1").c_str());
}

bool Ipv6World::Up(Ipv6WorldKind kind) {
    suffix_ = std::to_string(::getpid() % 100000);
    const char* world = kind == Ipv6WorldKind::kIpv6Only    ? "v6only"
                        : kind == Ipv6WorldKind::kDualStack ? "dualstack"
                                                            : "blackhole";
    up_ = true;  // a half-made world is taken down too
    return Script("up " + suffix_ + " " + world) == 0;
}

bool Ipv6World::StartMirror(const std::string& root) {
    const std::string work = File("nginx");
    std::filesystem::create_directories(work);
    mirrorPort_ = PortChosenNow();
    const std::string port = std::to_string(mirrorPort_);
    std::ofstream(work + "/nginx.conf") << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                                        << "pid " << work << "/nginx.pid;\n"
                                        << "error_log " << work << "/error.log;\n"
                                        << "events { worker_connections 256; }\n"
                                        << "http {\n  sendfile on;\n"
                                        << "  log_format peers '$remote_addr $request_uri $status $body_bytes_sent';\n"
                                        << "  access_log " << work << "/access.log peers;\n"
                                        << "  client_body_temp_path " << work << "/body;\n"
                                        << "  proxy_temp_path " << work << "/proxy;\n"
                                        << "  fastcgi_temp_path " << work << "/fastcgi;\n"
                                        << "  uwsgi_temp_path " << work << "/uwsgi;\n"
                                        << "  scgi_temp_path " << work << "/scgi;\n"
                                        << "  server {\n    listen [::]:" << port << " ipv6only=off;\n"
                                        << "    root " << root << ";\n  }\n}\n";
    const std::string nginx = ProgramExists("nginx") ? ProgramPath("nginx") : "/usr/sbin/nginx";
    if (!mirror_.Start({kIp, "netns", "exec", "vmS" + suffix_, nginx, "-c", work + "/nginx.conf", "-p", work},
                       work + "/output.log"))
        return false;
    // nginx writes its pid file once it listens.
    return WaitUntil([&] { return std::filesystem::exists(work + "/nginx.pid"); }, kStartLimit);
}

bool Ipv6World::StartTracker() {
    const std::string log = File("tracker.log");
    if (!tracker_.Start({kIp, "netns", "exec", "vmS" + suffix_, "/usr/bin/python3", VELDMOOR_DUAL_TRACKER_SCRIPT, "::",
                         std::to_string(PortChosenNow())},
                        log))
        return false;
    return WaitUntil(
        [&] {
            const std::string text = ReadText(log);
            const size_t at = text.find("listening ");
            if (at == std::string::npos) return false;
            trackerPort_ = std::atoi(text.c_str() + at + 10);
            return trackerPort_ > 0;
        },
        kStartLimit);
}

ProgramRun& Ipv6World::RunInClient(const std::vector<std::string>& command, const std::string& name) {
    return RunIn("vmC", command, name);
}

ProgramRun& Ipv6World::RunInServer(const std::vector<std::string>& command, const std::string& name) {
    return RunIn("vmS", command, name);
}

ProgramRun& Ipv6World::RunIn(const std::string& side, const std::vector<std::string>& command, const std::string& name) {
    std::vector<std::string> arguments = {"netns", "exec", side + suffix_};
    arguments.insert(arguments.end(), command.begin(), command.end());
    runs_.push_back(std::make_unique<ProgramRun>());
    names_.push_back(name);
    runs_.back()->Start(kIp, arguments, File(name + ".out"), File(name + ".err"));
    return *runs_.back();
}

std::string Ipv6World::MirrorUrl(const std::string& path) const {
    return "http://mirror.v6.test:" + std::to_string(mirrorPort_) + path;
}

std::string Ipv6World::AnnounceUrl(bool udp) const {
    return std::string(udp ? "udp" : "http") + "://tracker.v6.test:" + std::to_string(trackerPort_) + "/announce";
}

std::string Ipv6World::TrackerLog() const { return ReadText(File("tracker.log")); }

std::string Ipv6World::MirrorAccessLog() const { return ReadText(File("nginx/access.log")); }

std::string Ipv6World::Logs() const {
    std::string logs = "\n--- tracker:\n" + TrackerLog() + "\n--- mirror:\n" + MirrorAccessLog() +
                       ReadText(File("nginx/error.log"));
    for (const std::string& name : names_) {
        logs += "\n--- " + name + ":\n" + ReadText(File(name + ".out")) + ReadText(File(name + ".err"));
    }
    return logs;
}

}  // namespace veldmoor::test
