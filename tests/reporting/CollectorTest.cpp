// The collector in-process on a SQLite file and the driven clock: replayed
// batches, batch rates per address and per machine, old events summarised
// by day, and the log budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "platform/Clock.h"
#include "reporting/EventText.h"
#include "tests/reporting/ReportingTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/veldmoor-statsd/Collector.h"
#include "tools/veldmoor-statsd/LogThrottle.h"
#include "tools/veldmoor-statsd/Report.h"
#include "tools/veldmoor-statsd/Retention.h"

namespace veldmoor::statsd {
namespace {

// A one-event batch from `machine` whose error text is `marker`.
std::string BatchBody(const std::string& marker, const std::string& machine = "0123456789ABCDEF",
                      const std::string& code = "11030000", uint64_t totalBytes = 0) {
    reporting::SystemDescription system = test::FixedSystem();
    system.machineId = machine;
    reporting::EventFields fields;
    fields.errorText = marker;
    fields.totalBytes = totalBytes;
    fields.averageSpeed = totalBytes / 100;
    const std::string fragment = reporting::FormatFragment({"772", "1.0.3.7", "v0.122.13.20", "1"}, fields, {});
    return reporting::BuildBatchBody({{code, reporting::BuildEventText(reporting::InformationObjectText(system, 0, "1A2B3C4D"), fragment)}});
}

std::string MachineNumber(int n) {
    char text[17];
    std::snprintf(text, sizeof text, "%016X", n);
    return text;
}

class CollectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        store_ = OpenSqliteStore(directory_.File("events.sqlite"), error);
        ASSERT_TRUE(store_ && store_->Prepare(error)) << error;
        collector_ = std::make_unique<Collector>(
            *store_, [this](const std::string& line) { log_ += line + "\n"; }, [] { return platform::CalendarSeconds(); });
    }

    HttpResponse Post(const std::string& body, const std::string& peer = "127.0.0.1:40000") {
        HttpRequest request;
        request.method = "POST";
        request.target = kBatchPath;
        request.body = body;
        request.peer = peer;
        request.client = peer.substr(0, peer.rfind(':'));
        return collector_->Handle(request);
    }

    std::string Scalar(const std::string& sql) {
        Rows rows;
        std::string error;
        EXPECT_TRUE(store_->Query(sql, rows, error)) << error;
        return rows.empty() || rows[0].empty() ? "" : rows[0][0];
    }

    std::string Report() {
        std::string text;
        std::string error;
        EXPECT_TRUE(BuildReport(*store_, text, error)) << error;
        return text;
    }

    platform::ScopedDrivenClock clock_;
    test::TempDir directory_;
    std::unique_ptr<IEventStore> store_;
    std::unique_ptr<Collector> collector_;
    std::string log_;
};

// The same batch sent 10,000 times was stored 10,000 times, and skewed the
// report's speeds with it.
TEST_F(CollectorTest, ABatchSentAgainIsStoredOnce) {
    const std::string body = BatchBody("once");
    // The same events, encoded differently ("%63" is "c").
    std::string reencoded = body;
    reencoded.replace(reencoded.find("code"), 1, "%63");
    ASSERT_NE(reencoded, body);
    for (const std::string& sent : {body, body, reencoded}) {
        const HttpResponse answer = Post(sent);
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(answer.body.rfind("{\"error\":0,", 0), 0u) << "a replay is taken, so a client does not send it again";
    }
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM events"), "1");
    EXPECT_EQ(collector_->BatchesReplayed(), 2u);
    EXPECT_EQ(Post(BatchBody("another")).body, "{\"error\":0,\"stored\":1}");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM events"), "2");
}

TEST_F(CollectorTest, ReplaysAreRecognisedWithinTheWindowOnly) {
    RetentionPolicy policy;
    policy.replayWindowSeconds = 3600;
    Retention retention(*store_, policy, [](const std::string&) {});
    const std::string body = BatchBody("window");
    Post(body);
    clock_->AdvanceMs(3000 * 1000);
    std::string error;
    ASSERT_TRUE(retention.Run(platform::CalendarSeconds(), error)) << error;
    Post(body);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM events"), "1") << "50 minutes later it is still a replay";
    clock_->AdvanceMs(3601 * 1000);
    ASSERT_TRUE(retention.Run(platform::CalendarSeconds(), error)) << error;
    Post(body);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM events"), "2") << "past the window it is news";
}

// Four connections from one address grew the database by 35 MB/s.
TEST_F(CollectorTest, EachAddressAndEachMachineHasABatchRate) {
    const CollectorLimits limits;
    struct Case {
        const char* name;
        bool manyAddresses;  // else one address
        bool manyMachines;   // else one machine
        RateBudget budget;
    };
    const Case cases[] = {
        {"one address, many machines", false, true, limits.perAddress},
        {"one machine, many addresses", true, false, limits.perMachine},
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto post = [&] {
            ++serial;
            const std::string peer = c.manyAddresses ? "10.0." + std::to_string(serial / 250) + "." +
                                                           std::to_string(serial % 250 + 1) + ":5000"
                                                     : "10.9.9.9:5000";
            const std::string machine = c.manyMachines ? MachineNumber(serial) : "00000000000000AA";
            return Post(BatchBody("batch " + std::to_string(serial), machine), peer).status;
        };
        for (uint32_t i = 0; i < c.budget.burst; ++i) ASSERT_EQ(post(), 200) << i;
        EXPECT_EQ(post(), 429);
        // A minute later, a minute's worth more (up to the burst).
        clock_->AdvanceMs(60'000);
        for (uint32_t i = 0; i < std::min(c.budget.perMinute, c.budget.burst); ++i) ASSERT_EQ(post(), 200) << i;
        EXPECT_EQ(post(), 429);
        clock_->AdvanceMs(3'600'000);
    }
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM events"), "320") << "nothing refused was stored";
    EXPECT_NE(log_.find("refused 429"), std::string::npos);
}

// Raw events are kept for a number of days; after that their day lives on
// in the daily tables, and the report reads the same.
TEST_F(CollectorTest, OldEventsBecomeDailyFiguresAndTheReportIsUnchanged) {
    // Day one: two machines start, one finishes and fails a check.
    Post(BatchBody("a", MachineNumber(1), "11010000"));
    Post(BatchBody("b", MachineNumber(2), "11010000"));
    Post(BatchBody("c", MachineNumber(1), "11060000", 4'000'000'000));
    Post(BatchBody("d", MachineNumber(2), "11500201"));
    const std::string dayOneReport = Report();
    ASSERT_NE(dayOneReport.find("11500201"), std::string::npos) << dayOneReport;

    RetentionPolicy policy;
    policy.keepDays = 3;
    Retention retention(*store_, policy, [](const std::string&) {});
    std::string error;
    clock_->AdvanceMs(3ull * 86'400'000);
    ASSERT_TRUE(retention.Run(platform::CalendarSeconds(), error)) << error;
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM events"), "4") << "three days old: still kept";

    clock_->AdvanceMs(86'400'000);
    Post(BatchBody("e", MachineNumber(3), "11010000"));
    ASSERT_TRUE(retention.Run(platform::CalendarSeconds(), error)) << error;
    ASSERT_TRUE(retention.Run(platform::CalendarSeconds(), error)) << error;  // twice is once
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM events"), "1") << "only today's event is left";
    const std::string laterReport = Report();
    size_t lines = 0;
    for (size_t start = 0, end; (end = dayOneReport.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = dayOneReport.substr(start, end - start);
        if (line.empty() || line == "(none)") continue;
        EXPECT_NE(laterReport.find(line + "\n"), std::string::npos) << line << "\nmissing from\n" << laterReport;
        ++lines;
    }
    EXPECT_GE(lines, 8u);
    EXPECT_NE(laterReport.find(UtcDay(platform::CalendarSeconds()) + "        1"), std::string::npos) << laterReport;
}

TEST(LogThrottleTest, AFloodIsCountedNotWritten) {
    platform::ScopedDrivenClock clock;
    std::vector<std::string> written;
    LogThrottle log([&](const std::string& line) { written.push_back(line); }, {10, 50});
    for (int i = 0; i < 1000; ++i) log.Write("refused 503 from 10.0.0.1:1: server is busy");
    EXPECT_EQ(written.size(), 50u);
    clock->AdvanceMs(1000);
    for (int i = 0; i < 1000; ++i) log.Write("line " + std::to_string(i));
    ASSERT_EQ(written.size(), 50u + 1 + 10);
    EXPECT_EQ(written[50], "(950 log lines suppressed)");
    EXPECT_EQ(written[51], "line 0");
    log.WriteAlways("stopping");
    EXPECT_EQ(written[written.size() - 2], "(990 log lines suppressed)");
    EXPECT_EQ(written.back(), "stopping");
}

}  // namespace
}  // namespace veldmoor::statsd
