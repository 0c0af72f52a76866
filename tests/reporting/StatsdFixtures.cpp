#include "tests/reporting/StatsdFixtures.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Files.h"

extern char** environ;

namespace veldmoor::test {

std::string StatsdPath() { return VELDMOOR_STATSD_PATH; }

int RunProgram(const std::vector<std::string>& arguments, const std::string& outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int result = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RawExchange(int port, const std::string& request, bool closeAfterSend) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return {};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        if (closeAfterSend) ::shutdown(fd, SHUT_WR);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

int StatusOf(const std::string& answer) {
    if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return 0;
    return std::atoi(answer.substr(9, 3).c_str());
}

StatsdServer::StatsdServer(std::string database, const std::vector<std::string>& extraArguments) {
    port_ = FreeLoopbackPort();
    if (database.empty()) database = directory_.File("events.sqlite");
    std::vector<std::string> arguments = {StatsdPath(), "serve", "--listen", "127.0.0.1:" + std::to_string(port_),
                                          "--database", database};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    started_ = process_.Start(arguments, directory_.File("statsd.log")) && WaitForListener(port_);
}

uint64_t StatsdServer::PeakResidentBytes() const {
    const auto status = platform::ReadWholeFile("/proc/" + std::to_string(process_.Pid()) + "/status");
    if (!status) return 0;
    const size_t at = status->find("VmHWM:");
    return at == std::string::npos ? 0 : std::strtoull(status->c_str() + at + 6, nullptr, 10) * 1024;
}

std::string StatsdServer::BatchUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/launchersubmit/eventListSubmit";
}

std::string StatsdServer::Log() const { return platform::ReadWholeFile(directory_.File("statsd.log")).value_or(""); }

namespace {

std::string FindPostgresBinaries() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string bin = entry.path().string() + "/bin";
        if (::access((bin + "/initdb").c_str(), X_OK) == 0 && ::access((bin + "/pg_ctl").c_str(), X_OK) == 0) return bin;
    }
    return {};
}

}  // namespace

bool PostgresServer::RunAsOwner(const std::vector<std::string>& arguments) {
    std::vector<std::string> command;
    if (asPostgresUser_) command = {"runuser", "-u", "postgres", "--"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProgram(command, folder_ + "/commands.log") == 0;
}

PostgresServer::PostgresServer() {
    binaries_ = FindPostgresBinaries();
    if (binaries_.empty()) {
        why_ = "PostgreSQL server programs (Debian postgresql) are not installed";
        return;
    }
    char pattern[] = "/tmp/veldmoor-pg-XXXXXX";
    if (!::mkdtemp(pattern)) {
        why_ = "cannot make a folder for the database";
        return;
    }
    folder_ = pattern;
    // initdb refuses to run as root: hand the folder to the postgres user.
    if (::geteuid() == 0) {
        const passwd* owner = ::getpwnam("postgres");
        if (!owner || !ProgramExists("runuser") || ::chown(folder_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
            why_ = "running as root without a postgres user to own the database";
            return;
        }
        asPostgresUser_ = true;
    }
    const int port = FreeLoopbackPort();
    if (!RunAsOwner({binaries_ + "/initdb", "-D", folder_ + "/data", "-A", "trust", "-U", "statsd", "--no-sync",
                     "-E", "UTF8"})) {
        why_ = "initdb failed: " + platform::ReadWholeFile(folder_ + "/commands.log").value_or("");
        return;
    }
    if (!RunAsOwner({binaries_ + "/pg_ctl", "-D", folder_ + "/data", "-w", "-l", folder_ + "/server.log", "-o",
                     "-k " + folder_ + " -p " + std::to_string(port) + " -c listen_addresses='' -c fsync=off", "start"})) {
        why_ = "the server did not start: " + platform::ReadWholeFile(folder_ + "/server.log").value_or("");
        return;
    }
    connection_ = "host=" + folder_ + " port=" + std::to_string(port) + " dbname=postgres user=statsd";
    started_ = true;
}

PostgresServer::~PostgresServer() {
    if (started_) RunAsOwner({binaries_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "immediate", "-w", "stop"});
    if (!folder_.empty()) {
        std::error_code error;
        std::filesystem::remove_all(folder_, error);
    }
}

}  // namespace veldmoor::test
