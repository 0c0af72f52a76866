// veldmoor-statsd under load: a thousand machines, each from its own
// loopback address, post real batches while one address attacks with slow
// heads and held 1 MiB bodies and another with one batch replayed over and
// over and a stream of large distinct batches. Every machine's batch must be stored
// exactly once; the attacker gets only its share. On SQLite, on PostgreSQL,
// and with two collectors sharing one PostgreSQL. Figures (peak memory,
// database size, stored counts, log lines) are printed, not timed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "foundation/EventCodes.h"
#include "reporting/EventText.h"
#include "tests/reporting/ReportingTestSupport.h"
#include "tests/reporting/StatsdFixtures.h"
#include "tests/support/Infrastructure.h"
#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::reporting {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMachines = 1000;
constexpr int kBatchesPerMachine = 3;
constexpr int kEventsPerBatch = 5;
// One address holds connections (slow heads, held bodies); another posts
// replays and large batches, so the batch limits are met and not hidden
// behind the connection cap.
constexpr uint32_t kAttacker = (127u << 24) | (66u << 16) | 1;  // 127.66.0.1
constexpr uint32_t kFlooder = (127u << 24) | (66u << 16) | 2;   // 127.66.0.2
constexpr int kSlowHeads = 4300;
constexpr int kHeldBodies = 4000;
constexpr int kReplayLoops = 4;
constexpr int kLargeBatchLoops = 4;
constexpr size_t kMiB = 1024 * 1024;

uint32_t MachineAddress(int machine) { return (127u << 24) | (20u << 16) | static_cast<uint32_t>(machine + 1); }

// Machines of the load are "C0DE...", the attacker's other ids.
std::string MachineId(int machine) {
    char text[17];
    std::snprintf(text, sizeof text, "C0DE%012X", static_cast<unsigned>(machine));
    return text;
}

std::string Post(const std::string& body) {
    return "POST /launchersubmit/eventListSubmit HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A batch as the downloader writes it: `events` events of `machine`, each
// with an error text that names the batch (and is `padding` bytes longer).
std::string BatchRequest(const std::string& machine, const std::string& name, int events, size_t padding = 0) {
    SystemDescription system = test::FixedSystem();
    system.machineId = machine;
    std::vector<std::pair<std::string, std::string>> batch;
    for (int i = 0; i < events; ++i) {
        EventFields fields;
        fields.errorText = name + " event " + std::to_string(i) + std::string(padding, 'x');
        fields.totalBytes = 1'000'000ull * static_cast<uint64_t>(i + 1);
        const std::string fragment = FormatFragment({"772", "1.0.3.7", "v0.122.13.20", "1"}, fields, {});
        batch.emplace_back(kEventProgressEvery300s, BuildEventText(InformationObjectText(system, 0, "5EED0001"), fragment));
    }
    return Post(BuildBatchBody(batch));
}

int StatusOf(const std::string& answer) { return test::StatusOf(answer); }

// One exchange on one connection: connect from `source`, send the request
// (all of it, only `sendLimit` bytes, or a byte a second), read the answer
// until the server closes.
struct Exchange {
    uint32_t source = 0;
    int port = 0;
    std::shared_ptr<const std::string> request;
    size_t sendLimit = SIZE_MAX;
    bool trickle = false;
    std::function<void(const std::string& answer)> done;
};

// Runs many exchanges at once on one thread with poll().
class LoadDriver {
public:
    void Start(Exchange exchange) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(exchange.source);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<uint16_t>(exchange.port));
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
            (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 && errno != EINPROGRESS)) {
            if (fd >= 0) ::close(fd);
            ++failedConnects_;
            exchange.done("");
            return;
        }
        connections_[fd] = Connection{std::move(exchange), 0, {}, Clock::now()};
    }

    void After(Clock::duration delay, std::function<void()> action) { later_.push_back({Clock::now() + delay, std::move(action)}); }

    // Turns until `finished` holds; then closes whatever is still open.
    void RunUntil(const std::function<bool()>& finished) {
        std::vector<pollfd> polls;
        while (!finished()) {
            StartDue();
            polls.clear();
            for (const auto& [fd, connection] : connections_) {
                const bool sending = connection.sent < std::min(connection.exchange.sendLimit, connection.exchange.request->size()) &&
                                     (!connection.exchange.trickle || TrickleDue(connection));
                polls.push_back({fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0});
            }
            ::poll(polls.data(), polls.size(), 50);
            for (const pollfd& p : polls) {
                if (p.revents != 0) Serve(p.fd, p.revents);
            }
        }
        for (auto& [fd, connection] : connections_) ::close(fd);
        connections_.clear();
        later_.clear();
    }

    size_t Open() const { return connections_.size(); }
    uint64_t FailedConnects() const { return failedConnects_; }

private:
    struct Connection {
        Exchange exchange;
        size_t sent = 0;
        std::string answer;
        Clock::time_point lastSend;
    };

    static bool TrickleDue(const Connection& connection) {
        return Clock::now() - connection.lastSend >= std::chrono::seconds(1);
    }

    void StartDue() {
        const auto now = Clock::now();
        for (size_t i = 0; i < later_.size();) {
            if (later_[i].first > now) {
                ++i;
                continue;
            }
            const std::function<void()> action = std::move(later_[i].second);
            later_[i] = std::move(later_.back());
            later_.pop_back();
            action();
        }
    }

    void Serve(int fd, short events) {
        auto found = connections_.find(fd);
        if (found == connections_.end()) return;
        Connection& connection = found->second;
        if (events & POLLOUT) {
            const size_t limit = std::min(connection.exchange.sendLimit, connection.exchange.request->size());
            const size_t chunk = connection.exchange.trickle ? 1 : limit - connection.sent;
            if (connection.sent < limit) {
                const ssize_t n = ::send(fd, connection.exchange.request->data() + connection.sent, chunk, MSG_NOSIGNAL);
                if (n > 0) {
                    connection.sent += static_cast<size_t>(n);
                    connection.lastSend = Clock::now();
                }
            }
        }
        if (events & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    connection.answer.append(buffer, static_cast<size_t>(n));
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
                break;  // closed or failed: the exchange is over
            }
            Exchange exchange = std::move(connection.exchange);
            std::string answer = std::move(connection.answer);
            ::close(fd);
            connections_.erase(found);
            exchange.done(answer);
        }
    }

    std::map<int, Connection> connections_;
    std::vector<std::pair<Clock::time_point, std::function<void()>>> later_;
    uint64_t failedConnects_ = 0;
};

struct Figures {
    int machineAnswers = 0;
    int machineFailures = 0;
    std::map<int, int> attackerStatuses;  // status -> answers; 0: closed without one
    double seconds = 0;
};

// The machines post to `ports` in turn; each machine also sends its first
// batch again to the next collector, as a downloader whose answer was lost
// would. The attacker attacks every collector until the machines are done
// (and for at least 12 s, so its slow heads meet their deadline).
Figures RunLoad(const std::vector<int>& ports) {
    LoadDriver driver;
    Figures figures;
    const auto started = Clock::now();

    // The machines: each posts its batches one after another.
    std::vector<std::deque<std::pair<int, std::shared_ptr<const std::string>>>> plans(kMachines);
    int machinesLeft = kMachines;
    std::function<void(int)> next = [&](int machine) {
        auto& plan = plans[machine];
        if (plan.empty()) {
            --machinesLeft;
            return;
        }
        auto [port, request] = plan.front();
        plan.pop_front();
        driver.Start({MachineAddress(machine), port, request, SIZE_MAX, false, [&, machine](const std::string& answer) {
                          ++figures.machineAnswers;
                          if (StatusOf(answer) != 200 || answer.find("\"error\":0") == std::string::npos) {
                              ++figures.machineFailures;
                              if (figures.machineFailures <= 5)
                                  ADD_FAILURE() << "machine " << machine << ": " << answer.substr(0, 300);
                          }
                          next(machine);
                      }});
    };
    for (int machine = 0; machine < kMachines; ++machine) {
        for (int batch = 0; batch < kBatchesPerMachine; ++batch) {
            const int port = ports[static_cast<size_t>(machine + batch) % ports.size()];
            plans[machine].emplace_back(port, std::make_shared<const std::string>(BatchRequest(
                                                  MachineId(machine), "m" + std::to_string(machine) + "b" + std::to_string(batch),
                                                  kEventsPerBatch)));
        }
        plans[machine].emplace_back(ports[static_cast<size_t>(machine + 1) % ports.size()], plans[machine].front().second);
    }

    const auto attackerAnswer = [&](const std::string& answer) { ++figures.attackerStatuses[StatusOf(answer)]; };
    // Slow heads: a byte a second, opened again a second after each ends.
    const auto slowHead = std::make_shared<const std::string>("POST /launchersubmit/eventListSubmit HTTP/1.1\r\nHost: x\r\n" +
                                                              std::string(4000, 'X'));
    std::function<void(int)> slow = [&](int port) {
        driver.Start({kAttacker, port, slowHead, SIZE_MAX, true, [&, port](const std::string& answer) {
                          attackerAnswer(answer);
                          driver.After(std::chrono::seconds(1), [&, port] { slow(port); });
                      }});
    };
    // Held bodies: 1 MiB declared, all but the last byte sent.
    const auto heldBody = std::make_shared<const std::string>(Post(std::string(kMiB, 'a')));
    // One batch replayed, and large batches of 20 events with 4 KiB texts.
    const auto replayed = std::make_shared<const std::string>(BatchRequest("00000000000A77AC", "replayed", 20));
    int largeSerial = 0;
    std::function<void(int)> replay = [&](int port) {
        driver.Start({kFlooder, port, replayed, SIZE_MAX, false, [&, port](const std::string& answer) {
                          attackerAnswer(answer);
                          replay(port);
                      }});
    };
    std::function<void(int)> large = [&](int port) {
        const auto request = std::make_shared<const std::string>(
            BatchRequest("0000000000" + MachineId(largeSerial % 5000).substr(10), "large " + std::to_string(largeSerial), 20, 4000));
        ++largeSerial;
        driver.Start({kFlooder, port, request, SIZE_MAX, false, [&, port](const std::string& answer) {
                          attackerAnswer(answer);
                          large(port);
                      }});
    };
    for (const int port : ports) {
        for (int i = 0; i < kSlowHeads / static_cast<int>(ports.size()); ++i) slow(port);
        for (int i = 0; i < kHeldBodies / static_cast<int>(ports.size()); ++i)
            driver.Start({kAttacker, port, heldBody, heldBody->size() - 1, false, attackerAnswer});
        for (int i = 0; i < kReplayLoops; ++i) replay(port);
        for (int i = 0; i < kLargeBatchLoops; ++i) large(port);
    }
    for (int machine = 0; machine < kMachines; ++machine) next(machine);

    driver.RunUntil([&] { return machinesLeft == 0 && Clock::now() - started >= std::chrono::seconds(12); });
    figures.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return figures;
}

uint64_t FileBytes(const std::string& path) {
    struct stat facts {};
    return ::stat(path.c_str(), &facts) == 0 ? static_cast<uint64_t>(facts.st_size) : 0;
}

std::string Scalar(const std::string& database, const std::string& sql) {
    std::string error;
    auto store = statsd::OpenEventStore(database, error);
    statsd::Rows rows;
    EXPECT_TRUE(store && store->Query(sql, rows, error)) << error;
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

size_t Lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

class CollectorLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        // Root may raise the ceiling itself; anyone may raise up to it.
        if (test::RunningAsRoot() && limit.rlim_max < 16'384) limit.rlim_max = 16'384;
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < 12'000) {
            VELDMOOR_REQUIRE_ROOT("raising the descriptor limit to 12000 (it is " << limit.rlim_cur << ")");
        }
        ASSERT_GE(limit.rlim_cur, 12'000u) << "the descriptor limit could not be raised to 12000";
    }

    // Runs the load against `servers` on `database` and checks what was stored.
    void RunAndCheck(std::vector<std::unique_ptr<test::StatsdServer>>& servers, const std::string& database,
                     const std::function<uint64_t()>& databaseBytes) {
        std::vector<int> ports;
        for (const auto& server : servers) {
            ASSERT_TRUE(server->Started()) << server->Log();
            ports.push_back(server->Port());
        }
        const Figures figures = RunLoad(ports);
        uint64_t peak = 0;
        for (const auto& server : servers) {
            ASSERT_TRUE(server->IsRunning()) << server->Log();
            peak = std::max(peak, server->PeakResidentBytes());
            server->Stop();
        }
        const std::string machineEvents = Scalar(database, "SELECT COUNT(*) FROM events WHERE machine_id LIKE 'C0DE%'");
        const std::string distinctTexts =
            Scalar(database, "SELECT COUNT(DISTINCT error_text) FROM events WHERE machine_id LIKE 'C0DE%'");
        const int attackerEvents = std::atoi(Scalar(database, "SELECT COUNT(*) FROM events WHERE machine_id NOT LIKE 'C0DE%'").c_str());
        const std::string replayedEvents = Scalar(database, "SELECT COUNT(*) FROM events WHERE error_text LIKE 'replayed%'");

        std::string statuses;
        for (const auto& [status, count] : figures.attackerStatuses)
            statuses += " " + std::to_string(status) + ":" + std::to_string(count);
        std::printf("load over %.1f s on %zu collector(s): peak memory %.1f MiB, database %.1f MiB\n"
                    "  machines: %d answers, %d failures, %s events stored (%s distinct)\n"
                    "  attacker: answers by status%s; %d events stored (%s of the replayed batch)\n",
                    figures.seconds, servers.size(), static_cast<double>(peak) / kMiB,
                    static_cast<double>(databaseBytes()) / kMiB, figures.machineAnswers, figures.machineFailures,
                    machineEvents.c_str(), distinctTexts.c_str(), statuses.c_str(), attackerEvents,
                    replayedEvents.c_str());
        for (const auto& server : servers) {
            const std::string log = server->Log();
            std::printf("  log: %zu lines, %zu bytes; last: %s", Lines(log), log.size(),
                        log.substr(log.rfind('\n', log.size() - 2) + 1).c_str());
            // 50 at once, then 10 a second, each at most followed by a count line.
            EXPECT_LE(Lines(log), 2 * (50 + 10 * static_cast<size_t>(figures.seconds + 2)) + 4) << "log lines are rationed";
        }

        const int expected = kMachines * kBatchesPerMachine * kEventsPerBatch;
        EXPECT_EQ(figures.machineAnswers, kMachines * (kBatchesPerMachine + 1));
        EXPECT_EQ(figures.machineFailures, 0);
        EXPECT_EQ(machineEvents, std::to_string(expected)) << "every machine's batch stored";
        EXPECT_EQ(distinctTexts, std::to_string(expected)) << "and stored once";
        EXPECT_LE(std::atoi(replayedEvents.c_str()), 20) << "the replayed batch once";
        // Per collector: a burst of 100 batches, then 300 a minute, of 20 events, for the flooder.
        const double batchShare = 100 + 300 * (figures.seconds + 2) / 60;
        EXPECT_LE(attackerEvents, static_cast<int>(static_cast<double>(servers.size()) * batchShare * 20));
        // Bodies are budgeted at 64 MiB (8 MiB for one address), heads at 16 KiB a connection.
        EXPECT_LT(peak, 256 * kMiB) << "one address cannot make the collector grow";
    }
};

TEST_F(CollectorLoadTest, ThousandMachinesAndOneAttackerOnSqlite) {
    test::TempDir directory;
    const std::string database = directory.File("events.sqlite");
    std::vector<std::unique_ptr<test::StatsdServer>> servers;
    servers.push_back(std::make_unique<test::StatsdServer>(database));
    RunAndCheck(servers, database, [&] { return FileBytes(database) + FileBytes(database + "-wal"); });
}

uint64_t PostgresBytes(const std::string& database) {
    return std::strtoull(Scalar(database, "SELECT pg_database_size(current_database())").c_str(), nullptr, 10);
}

TEST_F(CollectorLoadTest, ThousandMachinesAndOneAttackerOnPostgres) {
    test::PostgresServer postgres;
    VELDMOOR_REQUIRE_POSTGRES(postgres);
    const std::string database = postgres.ConnectionText();
    std::vector<std::unique_ptr<test::StatsdServer>> servers;
    servers.push_back(std::make_unique<test::StatsdServer>(database));
    RunAndCheck(servers, database, [&] { return PostgresBytes(database); });
}

// How a publisher grows past one machine: two collectors on one database.
// Each machine's second copy of its first batch goes to the other collector.
TEST_F(CollectorLoadTest, TwoCollectorsShareOnePostgresAndStoreEachBatchOnce) {
    test::PostgresServer postgres;
    VELDMOOR_REQUIRE_POSTGRES(postgres);
    const std::string database = postgres.ConnectionText();
    std::vector<std::unique_ptr<test::StatsdServer>> servers;
    servers.push_back(std::make_unique<test::StatsdServer>(database));
    servers.push_back(std::make_unique<test::StatsdServer>(database));
    RunAndCheck(servers, database, [&] { return PostgresBytes(database); });
}

}  // namespace
}  // namespace veldmoor::reporting
