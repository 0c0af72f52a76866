#include "tests/support/NginxServer.h"

#include <filesystem>
#include <fstream>

namespace veldmoor::test {

int NginxServer::Start(const std::string& root, const std::string& workFolder, const std::string& extraServerConfig) {
    if (!ProgramExists("nginx") && !std::filesystem::exists("/usr/sbin/nginx")) return 0;
    const std::string program = ProgramExists("nginx") ? "nginx" : "/usr/sbin/nginx";
    std::filesystem::create_directories(workFolder);
    workFolder_ = workFolder;
    const std::string config = workFolder + "/nginx.conf";
    port_ = StartListeningOnFreePort(
        process_,
        [&](int port) {
            std::ofstream(config) << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                                  << "pid " << workFolder << "/nginx.pid;\n"
                                  << "error_log " << workFolder << "/error.log;\n"
                                  << "events { worker_connections 256; }\n"
                                  << "http {\n  sendfile on;\n"
                                  << "  log_format ranges '$request_uri $status [$http_range] $body_bytes_sent';\n"
                                  << "  access_log " << workFolder << "/access.log ranges;\n"
                                  << "  log_format connections '$connection $connection_requests $status $bytes_sent [$http_range] "
                                     "[$http_if_range]';\n"
                                  << "  access_log " << workFolder << "/connections.log connections;\n"
                                  << "  client_body_temp_path " << workFolder << "/body;\n"
                                  << "  proxy_temp_path " << workFolder << "/proxy;\n"
                                  << "  fastcgi_temp_path " << workFolder << "/fastcgi;\n"
                                  << "  uwsgi_temp_path " << workFolder << "/uwsgi;\n"
                                  << "  scgi_temp_path " << workFolder << "/scgi;\n"
                                  << "  server {\n    listen " << (ipv6_ ? "[::1]:" : "127.0.0.1:") << port << ";\n    root " << root << ";\n"
                                  << "    " << extraServerConfig << "\n  }\n}\n";
            return std::vector<std::string>{program, "-c", config, "-p", workFolder};
        },
        workFolder + "/output.log", ipv6_);
    return port_;
}

std::string NginxServer::AccessLog() const { return workFolder_ + "/access.log"; }

std::string NginxServer::ConnectionLog() const { return workFolder_ + "/connections.log"; }

std::string NginxServer::Url(const std::string& path) const {
    return (ipv6_ ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

}  // namespace veldmoor::test
