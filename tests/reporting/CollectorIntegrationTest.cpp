// The upload path end to end: the real sink posting with libcurl to the real
// veldmoor-statsd, on SQLite and on PostgreSQL, and the collector under
// hostile input.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Files.h"
#include "foundation/EventCodes.h"
#include "reporting/EventText.h"
#include "reporting/StatisticsSink.h"
#include "tests/reporting/ReportingTestSupport.h"
#include "tests/reporting/StatsdFixtures.h"
#include "tests/support/Infrastructure.h"
#include "tools/veldmoor-statsd/EventStore.h"
#include "tools/veldmoor-statsd/Report.h"
#include "tools/veldmoor-statsd/Retention.h"

namespace veldmoor::reporting {
namespace {

using test::StatusOf;

const std::vector<std::string> kDownloadCodes = {kEventDownloadBegun, kEventProgressEvery300s, kEventPieceFailedFromPeer,
                                                  kEventFinished,      kEventVerifyChosen,      kEventVerifyPassed,
                                                  kEventMainButtonFinished};

// The events one whole download raises, in the order the controller raises them.
void RaiseWholeDownload(IEventSink& sink) {
    sink.SimpleEvent(kEventDownloadBegun, "", "");
    sink.ProgressEvent(kEventProgressEvery300s, "", {300, 300 * 5'000'000ull, 5'000'000, "70.5%", 300 * 3'000'000ull,
                                                      3'000'000, 300 * 2'000'000ull, 2'000'000});
    sink.PieceCheckEvent(kEventPieceFailedFromPeer, "btnode://10.1.2.3:6881", 811, "Emberhold Setup.exe");
    sink.ProgressEvent(kEventFinished, "", {400, 2'000'000'000ull, 5'000'000, "100%", 1'200'000'000ull, 3'000'000,
                                            800'000'000ull, 2'000'000});
    sink.SimpleEvent(kEventVerifyChosen, "", "");
    sink.SimpleEvent(kEventVerifyPassed, "", "");
    sink.SimpleEvent(kEventMainButtonFinished, "", "");
}

StatisticsIdentity IdentityFor(const test::TempDir& directory, const std::string& url) {
    return {test::WriteConfiguration(directory.File("dataupload.vmconf"), {url}), "772", "1.0.3.7", "v0.122.13.20", "1"};
}

std::unique_ptr<StatisticsSink> RealSink() {
    StatisticsSink::Options options;
    options.installCrashHandler = false;
    return std::make_unique<StatisticsSink>(options);
}

statsd::Rows StoredRows(const std::string& database, const std::string& sql) {
    std::string error;
    auto store = statsd::OpenEventStore(database, error);
    EXPECT_TRUE(store) << error;
    statsd::Rows rows;
    if (store) {
        EXPECT_TRUE(store->Query(sql, rows, error)) << error;
    }
    return rows;
}

std::string Report(const std::string& database, const test::TempDir& directory) {
    const std::string output = directory.File("report.txt");
    EXPECT_EQ(test::RunProgram({test::StatsdPath(), "report", "--database", database}, output), 0);
    return platform::ReadWholeFile(output).value_or("");
}

void ExpectWholeDownloadStoredAndReported(const std::string& database, const test::TempDir& directory) {
    const statsd::Rows rows =
        StoredRows(database, "SELECT code, session_id, machine_id, game_id, total_bytes, p2p_bytes, server_ip, "
                             "corrupt_piece, hardware FROM events ORDER BY id");
    ASSERT_EQ(rows.size(), kDownloadCodes.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][0], kDownloadCodes[i]);
        EXPECT_EQ(rows[i][1], rows[0][1]) << "one session";
        EXPECT_EQ(rows[i][2], ThisSystem().machineId);
        EXPECT_EQ(rows[i][3], "772");
    }
    EXPECT_NE(rows[0][8], "") << "hardware of the start event";
    EXPECT_EQ(rows[3][4], "2000000000");
    EXPECT_EQ(rows[3][5], "800000000");
    EXPECT_EQ(rows[2][6], "btnode://10.1.2.3:6881");
    EXPECT_EQ(rows[2][7], "811");

    const std::string report = Report(database, directory);
    const std::string day = statsd::UtcDay(static_cast<int64_t>(::time(nullptr)));
    // started, completed, verified, repaired, installed, failed
    std::string squeezed;  // columns apart by one space
    for (const char c : report)
        if (c != ' ' || (!squeezed.empty() && squeezed.back() != ' ')) squeezed += c;
    EXPECT_NE(squeezed.find(day + " 1 1 1 0 1 0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("11500102  1 events on 1 machines"), std::string::npos) << report;
    EXPECT_NE(report.find("4.8 MB/s"), std::string::npos) << report;  // 5,000,000 B/s
    EXPECT_NE(report.find("40.0%"), std::string::npos) << report;     // 800 MB of 2 GB from peers
}

TEST(CollectorIntegrationTest, WholeDownloadArrivesInOrderOnSqliteAndShowsInTheReport) {
    test::TempDir directory;
    const std::string database = directory.File("events.sqlite");
    test::StatsdServer server(database);
    ASSERT_TRUE(server.Started()) << server.Log();

    auto sink = RealSink();
    ASSERT_TRUE(sink->Start(IdentityFor(directory, server.BatchUrl())));
    RaiseWholeDownload(*sink);
    sink->Stop();
    EXPECT_EQ(sink->Upload(), nullptr);
    ExpectWholeDownloadStoredAndReported(database, directory);
}

TEST(CollectorIntegrationTest, WholeDownloadArrivesOnPostgres) {
    test::PostgresServer postgres;
    VELDMOOR_REQUIRE_STARTED(postgres.Started(), "PostgreSQL: " << postgres.Why());
    test::TempDir directory;
    test::StatsdServer server(postgres.ConnectionText());
    ASSERT_TRUE(server.Started()) << server.Log();

    auto sink = RealSink();
    ASSERT_TRUE(sink->Start(IdentityFor(directory, server.BatchUrl())));
    RaiseWholeDownload(*sink);
    sink->Stop();
    ExpectWholeDownloadStoredAndReported(postgres.ConnectionText(), directory);
}

// The collector is down for a while: the sink's callers go on, and what was
// raised meanwhile reaches it once it is back.
TEST(CollectorIntegrationTest, CollectorDownThenBack) {
    test::TempDir directory;
    const std::string database = directory.File("events.sqlite");
    const int port = test::FreeLoopbackPort();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/launchersubmit/eventListSubmit";
    auto sink = RealSink();
    ASSERT_TRUE(sink->Start(IdentityFor(directory, url)));
    sink->SimpleEvent(kEventDownloadBegun, "", "while down");
    ASSERT_TRUE(test::WaitUntil([&] { return sink->Upload()->BatchesUnreached() >= 2; }));

    std::string error;
    // Bring it up on the same port.
    test::ChildProcess collector;
    ASSERT_TRUE(collector.Start({test::StatsdPath(), "serve", "--listen", "127.0.0.1:" + std::to_string(port),
                                 "--database", database},
                                directory.File("statsd.log")));
    ASSERT_TRUE(test::WaitForListener(port));
    sink->SimpleEvent(kEventContinued, "", "after it is back");
    sink->Stop();
    const statsd::Rows rows = StoredRows(database, "SELECT code, error_text FROM events ORDER BY id");
    ASSERT_EQ(rows.size(), 2u) << "each event once";
    EXPECT_EQ(rows[0][1], "while down") << "a batch that reached no server waits for one";
    EXPECT_EQ(rows[1][1], "after it is back");
}

std::string Post(const std::string& body, const std::string& extraHeaders = "") {
    return "POST /launchersubmit/eventListSubmit HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n" +
           extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A valid one-event batch of machine number `machine` whose error text carries `marker`.
std::string ValidBody(const std::string& marker, int machine = 0) {
    EventFields fields;
    fields.errorText = marker;
    const std::string fragment = FormatFragment({"772", "1.0.3.7", "v0.122.13.20", "1"}, fields, {});
    SystemDescription system = test::FixedSystem();
    char machineId[17];
    std::snprintf(machineId, sizeof machineId, "%016X", 0xABC00000u + static_cast<unsigned>(machine));
    system.machineId = machineId;
    return BuildBatchBody({{"11030000", BuildEventText(InformationObjectText(system, 0, "1A2B3C4D"), fragment)}});
}

TEST(CollectorIntegrationTest, HostileRequestsAreRefusedClearlyAndTheServiceStaysUp) {
    test::TempDir directory;
    const std::string database = directory.File("events.sqlite");
    test::StatsdServer server(database);
    ASSERT_TRUE(server.Started()) << server.Log();

    const std::string valid = ValidBody("x");
    struct Case {
        const char* name;
        std::string request;
        int status;  // 0: the server just closes
        bool closeAfterSend = false;
    };
    const std::vector<Case> cases = {
        {"not HTTP", std::string("\x16\x03\x01\x02\x00 hello\r\n\r\n", 15), 400},
        {"wrong method", "GET /launchersubmit/eventListSubmit HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        {"unknown path", "POST /admin HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 404},
        {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400},
        {"no length", "POST /launchersubmit/eventListSubmit HTTP/1.1\r\nHost: x\r\n\r\n", 411},
        {"chunked", Post("", "Transfer-Encoding: chunked\r\n"), 411},
        {"two lengths", Post(valid, "Content-Length: 3\r\n"), 400},
        {"oversized body", "POST /launchersubmit/eventListSubmit HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n", 413},
        {"oversized header", Post(valid, "X-Fill: " + std::string(20000, 'a') + "\r\n"), 431},
        {"truncated body", Post(valid).substr(0, Post(valid).size() - 10), 0, true},
        {"not form data", Post("{\"code\":1}"), 400},
        {"not JSON", Post("data=hello"), 400},
        {"JSON, not an array", Post("data=%7B%7D"), 400},
        {"wrong types", Post("data=" + UrlEncode("[{\"code\":11030000,\"info\":7}]")), 400},
        {"bad event text", Post("data=" + UrlEncode("[{\"code\":\"11030000\",\"info\":\"{}\"}]")), 400},
        {"deep nesting", Post("data=" + UrlEncode(std::string(3000, '[') + std::string(3000, ']'))), 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = test::RawExchange(server.Port(), c.request, c.closeAfterSend);
        EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 300);
        if (c.status >= 400) {
            EXPECT_NE(answer.find("\"error\":1,\"message\":\""), std::string::npos) << answer;
        }
        ASSERT_TRUE(server.IsRunning()) << server.Log();
    }
    EXPECT_EQ(StatusOf(test::RawExchange(server.Port(), "GET /health HTTP/1.1\r\nHost: x\r\n\r\n")), 200);
    EXPECT_TRUE(StoredRows(database, "SELECT id FROM events").empty()) << "nothing refused was stored";
    EXPECT_NE(server.Log().find("refused 400"), std::string::npos) << "refusals are logged";

    const std::string answer = test::RawExchange(server.Port(), Post(valid));
    EXPECT_EQ(StatusOf(answer), 200) << answer;
    EXPECT_NE(answer.find("{\"error\":0,\"stored\":1}"), std::string::npos) << answer;
}

// A thousand posts at once, half of them broken: every good one is stored
// exactly once, every broken one refused, and the collector carries on.
TEST(CollectorIntegrationTest, ThousandConcurrentPosts) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1100 && test::RunningAsRoot()) limit.rlim_max = 1100;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    VELDMOOR_REQUIRE_STARTED(limit.rlim_cur >= 1100, "1100 file descriptors; the limit is " << limit.rlim_cur);

    test::TempDir directory;
    const std::string database = directory.File("events.sqlite");
    test::StatsdServer server(database);
    ASSERT_TRUE(server.Started()) << server.Log();

    constexpr int kPosts = 1000;
    std::vector<int> sockets;
    sockets.reserve(kPosts);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kPosts; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        // A thousand machines, each from its own address.
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl((127u << 24) | (10u << 16) | static_cast<uint32_t>(i + 1));
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0) << i;
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << i;
        timeval wait{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockets.push_back(fd);
    }
    // Every connection is open before any request goes out.
    for (int i = 0; i < kPosts; ++i) {
        const std::string body = i % 2 == 0 ? ValidBody("post " + std::to_string(i), i) : "data=%5B%7Bbroken" + std::to_string(i);
        const std::string request = Post(body);
        ASSERT_EQ(::send(sockets[i], request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    }
    int stored = 0;
    int refused = 0;
    for (int i = 0; i < kPosts; ++i) {
        std::string answer;
        char buffer[2048];
        for (ssize_t n; (n = ::recv(sockets[i], buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
        ::close(sockets[i]);
        const int status = StatusOf(answer);
        EXPECT_EQ(status, i % 2 == 0 ? 200 : 400) << i << ": " << answer;
        (status == 200 ? stored : refused) += 1;
    }
    EXPECT_EQ(stored, kPosts / 2);
    EXPECT_EQ(refused, kPosts / 2);
    ASSERT_TRUE(server.IsRunning());
    EXPECT_EQ(StatusOf(test::RawExchange(server.Port(), "GET /health HTTP/1.1\r\nHost: x\r\n\r\n")), 200);

    const statsd::Rows rows = StoredRows(database, "SELECT error_text, COUNT(*) FROM events GROUP BY error_text");
    EXPECT_EQ(rows.size(), static_cast<size_t>(kPosts / 2));
    for (const auto& row : rows) {
        EXPECT_EQ(row[1], "1") << row[0] << " stored more than once";
        EXPECT_EQ(row[0].rfind("post ", 0), 0u);
    }
}

}  // namespace
}  // namespace veldmoor::reporting

namespace veldmoor::reporting {
namespace {

// A connection to the collector from the loopback address `from`, away
// from the start-up probe's 127.0.0.1.
int ConnectFrom(int port, uint32_t from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(from);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

int ExchangeStatus(int fd, const std::string& request) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[2048];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return StatusOf(answer);
}

// The limits are flags, for the service's configuration to set.
TEST(CollectorIntegrationTest, LimitsComeFromTheCommandLine) {
    test::TempDir directory;
    const std::string database = directory.File("events.sqlite");
    EXPECT_EQ(test::RunProgram({test::StatsdPath(), "serve", "--database", database, "--keep-days", "ninety"},
                               directory.File("usage.txt")),
              2);
    EXPECT_NE(platform::ReadWholeFile(directory.File("usage.txt")).value_or("").find("--keep-days takes a whole number"),
              std::string::npos);

    test::StatsdServer server(database, {"--max-connections-per-address", "2", "--address-rate", "1", "--address-burst", "1"});
    ASSERT_TRUE(server.Started()) << server.Log();
    constexpr uint32_t kClient = (127u << 24) | 9;  // 127.0.0.9
    std::vector<int> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(ConnectFrom(server.Port(), kClient));
        ASSERT_EQ(::send(held.back(), "P", 1, MSG_NOSIGNAL), 1);
    }
    EXPECT_EQ(ExchangeStatus(ConnectFrom(server.Port(), kClient), Post(ValidBody("third"))), 503) << server.Log();
    for (const int fd : held) ::close(fd);
    ASSERT_TRUE(test::WaitUntil([&] { return ExchangeStatus(ConnectFrom(server.Port(), kClient), Post(ValidBody("first"))) == 200; }));
    EXPECT_EQ(ExchangeStatus(ConnectFrom(server.Port(), kClient), Post(ValidBody("second"))), 429);
}

}  // namespace
}  // namespace veldmoor::reporting

namespace veldmoor::reporting {
namespace {

// The clean-up's statements on PostgreSQL: an old day leaves the events
// table and stays in the report; a batch's digest keeps it from being
// stored twice until the window has passed.
TEST(CollectorIntegrationTest, RetentionAndReplaysOnPostgres) {
    test::PostgresServer postgres;
    VELDMOOR_REQUIRE_POSTGRES(postgres);
    std::string error;
    auto store = statsd::OpenEventStore(postgres.ConnectionText(), error);
    ASSERT_TRUE(store && store->Prepare(error)) << error;
    const statsd::BatchParseResult batch = statsd::ParseBatchBody(ValidBody("old"));
    ASSERT_TRUE(batch.ok) << batch.error;
    const int64_t now = 1'800'000'000;
    const int64_t longAgo = now - 100 * 86'400;
    const statsd::BatchStamp stamp{longAgo, "10.0.0.1:1", statsd::BatchDigest(batch.events)};
    ASSERT_EQ(store->StoreBatch(batch.events, stamp, error), statsd::StoreOutcome::kStored) << error;
    ASSERT_EQ(store->StoreBatch(batch.events, stamp, error), statsd::StoreOutcome::kReplayed) << error;
    std::string before;
    ASSERT_TRUE(statsd::BuildReport(*store, before, error)) << error;

    statsd::Retention retention(*store, {}, [](const std::string&) {});
    ASSERT_TRUE(retention.Run(now, error)) << error;
    ASSERT_TRUE(retention.Run(now, error)) << error;
    statsd::Rows rows;
    ASSERT_TRUE(store->Query("SELECT COUNT(*) FROM events", rows, error)) << error;
    EXPECT_EQ(rows[0][0], "0");
    std::string after;
    ASSERT_TRUE(statsd::BuildReport(*store, after, error)) << error;
    EXPECT_EQ(after, before);
    EXPECT_EQ(store->StoreBatch(batch.events, stamp, error), statsd::StoreOutcome::kStored)
        << "the digest went with the window";
}

}  // namespace
}  // namespace veldmoor::reporting
