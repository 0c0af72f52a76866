#pragma once
// Fixtures of the collector tests: veldmoor-statsd as a child process, a
// private PostgreSQL server, programs run to completion, raw HTTP exchanges.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {

// Runs a program to its end with its standard output (and error) in `outputPath`;
// its exit status, or -1.
int RunProgram(const std::vector<std::string>& arguments, const std::string& outputPath);

// Sends `request` on a fresh loopback connection (closing our side for
// writing when `closeAfterSend`) and reads the answer until the server closes.
std::string RawExchange(int port, const std::string& request, bool closeAfterSend = false);

// The status code of an HTTP answer text, 0 when there is none.
int StatusOf(const std::string& answer);

class StatsdServer {
public:
    explicit StatsdServer(std::string database, const std::vector<std::string>& extraArguments = {});
    ~StatsdServer() { process_.Stop(); }
    bool Started() const { return started_; }
    int Port() const { return port_; }
    std::string BatchUrl() const;
    std::string Log() const;
    bool IsRunning() { return process_.IsRunning(); }
    // The largest resident size the server has had so far, in bytes (0 when unknown).
    uint64_t PeakResidentBytes() const;
    // Stops the server (it logs its totals on the way out).
    void Stop() { process_.Stop(); }

private:
    TempDir directory_;
    ChildProcess process_;
    int port_ = 0;
    bool started_ = false;
};

// A PostgreSQL server in a private folder, reachable over a Unix socket.
class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();
    bool Started() const { return started_; }
    const std::string& Why() const { return why_; }
    const std::string& ConnectionText() const { return connection_; }

private:
    bool RunAsOwner(const std::vector<std::string>& arguments);

    std::string folder_;
    std::string binaries_;
    std::string connection_;
    std::string why_;
    bool asPostgresUser_ = false;
    bool started_ = false;
};

std::string StatsdPath();

// A PostgreSQL server that does not start fails the test: setup.sh installs it.
#define VELDMOOR_REQUIRE_POSTGRES(server) \
    VELDMOOR_REQUIRE_STARTED((server).Started(), "PostgreSQL: " << (server).Why())

}  // namespace veldmoor::test
