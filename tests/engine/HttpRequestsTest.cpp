// How an HTTP source asks a server for the file: bounded ranges carried one
// after another on a kept-open connection, If-Range on resumed requests, and
// servers that answer past the end asked for or in chunks. Real nginx and a
// scripted server on loopback; the engine runs on a driven clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <algorithm>
#include <map>
#include <sstream>

#include "peers/HttpStreamRules.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

constexpr size_t kFileSize = 6 * 1024 * 1024;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// One line of nginx's connection log.
struct ServedRequest {
    long long connection = 0;
    int onConnection = 0;
    int status = 0;
    long long bytesSent = 0;
    std::string range;
    std::string ifRange;
};

std::vector<ServedRequest> ReadConnectionLog(const NginxServer& server) {
    std::vector<ServedRequest> served;
    std::ifstream log(server.ConnectionLog());
    for (std::string line; std::getline(log, line);) {
        ServedRequest request;
        std::istringstream fields(line);
        fields >> request.connection >> request.onConnection >> request.status >> request.bytesSent;
        const size_t rangeOpen = line.find('[');
        const size_t rangeClose = line.find(']', rangeOpen);
        const size_t ifOpen = line.find('[', rangeClose);
        if (rangeOpen == std::string::npos || rangeClose == std::string::npos || ifOpen == std::string::npos) {
            ADD_FAILURE() << "unreadable log line: " << line;
            continue;
        }
        request.range = line.substr(rangeOpen + 1, rangeClose - rangeOpen - 1);
        request.ifRange = line.substr(ifOpen + 1, line.rfind(']') - ifOpen - 1);
        served.push_back(request);
    }
    return served;
}

class HttpRequestsTest : public EngineTest {
protected:
    HttpRequestsTest() : content_(PatternBytes(kFileSize, 11)) {}

    NginxServer& StartNginx(const std::string& config = "") {
        WriteFile(dir_.File("www/data/f.bin"), content_);
        const int port = nginx_.Start(dir_.File("www"), dir_.File("nginx"), config);
        if (port == 0) ADD_FAILURE() << "nginx did not start";
        return nginx_;
    }

    ScriptedHttpServer& StartScripted(ScriptedHttpMode mode, const std::string& changed = "", bool versioned = true) {
        const std::string file = dir_.File("served.bin");
        WriteFile(file, content_);
        std::string changedFile;
        if (!changed.empty()) {
            changedFile = dir_.File("changed.bin");
            WriteFile(changedFile, changed);
        }
        if (scripted_.Start(mode, file, dir_.File("scripted"), changedFile, versioned) == 0)
            ADD_FAILURE() << "the scripted server did not start";
        return scripted_;
    }

    std::string Target() const { return dir_.File("f.bin"); }
    std::string Downloaded() const { return platform::ReadWholeFile(Target()).value_or(""); }

    TaskHandle StartTask(const std::string& url) {
        TaskDescriptor task = HttpTask(url, Target());
        EXPECT_EQ(TaskCreateAndStart(&task), kResultOk);
        return task.handle;
    }

    // Advances the engine clock a second at a time, with real time between
    // for the job to turn, until `done` holds or `seconds` have passed.
    bool PumpUntil(const std::function<bool()>& done, int seconds) {
        for (int second = 0; second < seconds; ++second) {
            if (WaitUntil(done, std::chrono::milliseconds(50))) return true;
            AdvanceEngineClock(1);
        }
        return done();
    }

    bool Finished(TaskHandle handle) {
        int complete = 0;
        return TaskIsComplete(handle, &complete) == kResultOk && complete != 0;
    }

    void ExpectChangedFileFetchedWhole(bool versioned);

    std::string content_;
    NginxServer nginx_;
    ScriptedHttpServer scripted_;
};

TEST_F(HttpRequestsTest, BoundedRangesNamingTheirVersionFollowEachOtherOnOneConnection) {
    // The rate limit keeps the chunks small enough for several requests.
    NginxServer& server = StartNginx("limit_rate 4m;");
    const TaskHandle handle = StartTask(server.Url("/data/f.bin"));
    ASSERT_TRUE(PumpUntil([&] { return Finished(handle); }, 120)) << platform::ReadWholeFile(server.ConnectionLog()).value_or("");
    EXPECT_TRUE(Downloaded() == content_);

    const std::vector<ServedRequest> served = ReadConnectionLog(server);
    const std::string log = platform::ReadWholeFile(server.ConnectionLog()).value_or("");
    ASSERT_FALSE(served.empty());
    long long sent = 0;
    std::map<long long, int> requestsPerConnection;
    for (const ServedRequest& request : served) {
        long long first = -1, last = -1;
        EXPECT_EQ(std::sscanf(request.range.c_str(), "bytes=%lld-%lld", &first, &last), 2)
            << "every request names its end: " << request.range;
        EXPECT_LT(last, static_cast<long long>(kFileSize)) << request.range;
        // nginx's ETag is strong and quoted (the log writes a quote as \x22).
        if (first > 0) {
            EXPECT_TRUE(request.ifRange.starts_with("\\x22")) << "a resumed request names the version it continues";
        } else {
            EXPECT_EQ(request.ifRange, "-");
        }
        sent += request.bytesSent;
        ++requestsPerConnection[request.connection];
    }
    int most = 0;
    for (const auto& [connection, count] : requestsPerConnection) most = std::max(most, count);
    EXPECT_GE(most, 2) << "a connection carries the next request after a body ends:\n" << log;
    // Headers and a part asked twice at most; an open range per request would send far more.
    EXPECT_LT(sent, static_cast<long long>(kFileSize) * 11 / 10) << log;
}

TEST_F(HttpRequestsTest, AServerThatAnswersPastTheEndAskedForStillGivesTheRightFile) {
    ScriptedHttpServer& server = StartScripted(ScriptedHttpMode::kIgnoresRangeEnd);
    const TaskHandle handle = StartTask(server.Url("/f.bin"));
    ASSERT_TRUE(PumpUntil([&] { return Finished(handle); }, 120)) << server.Log();
    EXPECT_TRUE(Downloaded() == content_);
    EXPECT_NE(server.Log().find("bytes=0-" + std::to_string(kHttpFirstRequestBytes - 1) + "|"), std::string::npos)
        << "the first request names its end:\n" << server.Log();
}

TEST_F(HttpRequestsTest, AServerThatClosesAfterEachAnswerIsAskedOnANewConnection) {
    ScriptedHttpServer& server = StartScripted(ScriptedHttpMode::kClosesAfterAnswer);
    const TaskHandle handle = StartTask(server.Url("/f.bin"));
    ASSERT_TRUE(PumpUntil([&] { return Finished(handle); }, 120)) << server.Log();
    EXPECT_TRUE(Downloaded() == content_);
    const std::string log = server.Log();
    EXPECT_GE(std::count(log.begin(), log.end(), '\n'), 3) << log;
}

TEST_F(HttpRequestsTest, AChunkedAnswerForAPartIsDecodedIntoTheRightFile) {
    ScriptedHttpServer& server = StartScripted(ScriptedHttpMode::kChunkedRanges);
    const TaskHandle handle = StartTask(server.Url("/f.bin"));
    ASSERT_TRUE(PumpUntil([&] { return Finished(handle); }, 120)) << server.Log();
    EXPECT_TRUE(Downloaded() == content_);
}

TEST_F(HttpRequestsTest, AChunkedAnswerThatNamesNoSizeEndsTheSourceAtOnce) {
    ScriptedHttpServer& server = StartScripted(ScriptedHttpMode::kChunkedUnknownSize);
    const uint32_t startedAt = ClockSeconds();
    const TaskHandle handle = StartTask(server.Url("/f.bin"));
    // The first answer settles it: no retries until the job gives up on the size.
    ASSERT_TRUE(PumpUntil([&] { return !JobOf(handle).IsRunning(); }, 60)) << server.Log();
    // The job ends once it has waited its least time with no source left.
    EXPECT_LT(ClockSeconds() - startedAt, 30u);
    EXPECT_EQ(StatusOf(handle).status, kStatusSourcesFailed);
    const std::string log = server.Log();
    // The connections opened at the start may each ask once; none asks again.
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 4) << log;
}

TEST_F(HttpRequestsTest, ATorrentFetchedInChunksBecomesTheTasksTorrent) {
    const std::string torrent = SingleFileTorrent("f.bin", PatternBytes(256 * 1024, 5), 32768);
    content_ = torrent;
    ScriptedHttpServer& server = StartScripted(ScriptedHttpMode::kChunkedUnknownSize);
    TaskDescriptor task = HttpTask(server.Url("/f.torrent"), Target());
    task.flags = kTaskTargetIsFile | kTaskBitTorrent;
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    const auto taken = [&] {
        ScopedLock guard(job.Lock());
        return !job.Record().SavedTexts().torrent.empty();
    };
    ASSERT_TRUE(PumpUntil(taken, 20)) << server.Log();
    ScopedLock guard(job.Lock());
    EXPECT_TRUE(job.Record().SavedTexts().torrent == torrent) << "the chunk framing was taken for the torrent's bytes";
}

// The server changes its file once a request names the version it continues:
// the job starts over rather than splice the two files.
void HttpRequestsTest::ExpectChangedFileFetchedWhole(bool versioned) {
    const std::string changed = PatternBytes(kFileSize, 29);
    ScriptedHttpServer& server = StartScripted(ScriptedHttpMode::kChangesOnIfRange, changed, versioned);
    const TaskHandle handle = StartTask(server.Url("/f.bin"));
    ASSERT_TRUE(PumpUntil([&] { return Finished(handle); }, 120)) << server.Log();
    EXPECT_TRUE(Downloaded() == changed) << "bytes of the old file were spliced in:\n" << server.Log();
    EXPECT_NE(server.Log().find("|\"one\"|200|"), std::string::npos) << server.Log();
}

TEST_F(HttpRequestsTest, AChangedFileNamingItsNewVersionIsFetchedAgainWhole) { ExpectChangedFileFetchedWhole(true); }

TEST_F(HttpRequestsTest, AChangedFileNamingNoVersionIsFetchedAgainWhole) { ExpectChangedFileFetchedWhole(false); }

TEST_F(HttpRequestsTest, ATricklingSourceGivesItsWorkToTheOthers) {
    // Two pieces, one for each source; the good one is slow enough for the
    // trickle to be judged before it is done with its own.
    content_ = PatternBytes(1 << 20, 43);
    ScriptedHttpServer& trickle = StartScripted(ScriptedHttpMode::kTrickles);
    NginxServer& good = StartNginx("limit_rate 128k;");
    const TaskHandle handle = StartTask(trickle.Url("/f.bin") + "\n" + good.Url("/data/f.bin"));
    ASSERT_TRUE(PumpUntil([&] { return Finished(handle); }, 240)) << trickle.Log();
    EXPECT_TRUE(Downloaded() == content_);
    char buffer[4096];
    const int length = TaskTakeSourceNotes(handle, buffer, static_cast<int>(sizeof buffer));
    const std::string notes(buffer, static_cast<size_t>(std::max(length, 0)));
    EXPECT_NE(notes.find(trickle.Url("/f.bin") + "\tit sent "), std::string::npos) << notes << trickle.Log();
    EXPECT_EQ(notes.find(good.Url("/data/f.bin")), std::string::npos) << notes;
}

// A source that can never give the right file, alone in its task: the job
// ends within a bounded time and number of requests, says why, and never
// puts a wrong file in place.
struct FaultySource {
    const char* name;
    ScriptedHttpMode mode;
    size_t size;
    // What the note about the source says (its URL, a tab, then this).
    std::function<std::string(size_t size)> reason;
    int maxRequests;
    int maxSeconds;  // of engine clock
};

void PrintTo(const FaultySource& fault, std::ostream* out) { *out << fault.name; }

class FaultySourceTest : public HttpRequestsTest, public ::testing::WithParamInterface<FaultySource> {};

TEST_P(FaultySourceTest, EndsTheTaskWithItsReason) {
    const FaultySource& fault = GetParam();
    content_ = PatternBytes(fault.size, 41);
    ScriptedHttpServer& server = StartScripted(fault.mode);
    const uint32_t startedAt = ClockSeconds();
    const TaskHandle handle = StartTask(server.Url("/f.bin"));

    ASSERT_TRUE(PumpUntil([&] { return !JobOf(handle).IsRunning(); }, fault.maxSeconds))
        << "still running after " << fault.maxSeconds << " s:\n" << server.Log().substr(0, 2000);
    EXPECT_LE(ClockSeconds() - startedAt, static_cast<uint32_t>(fault.maxSeconds));
    EXPECT_EQ(StatusOf(handle).status, kStatusSourcesFailed);
    EXPECT_FALSE(Finished(handle));
    EXPECT_FALSE(platform::FileExists(Target())) << "a wrong file was put in place";
    const std::string log = server.Log();
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), fault.maxRequests) << log.substr(0, 2000);
    char buffer[4096];
    const int length = TaskTakeSourceNotes(handle, buffer, static_cast<int>(sizeof buffer));
    const std::string notes(buffer, static_cast<size_t>(std::max(length, 0)));
    EXPECT_NE(notes.find(server.Url("/f.bin") + "\t" + fault.reason(fault.size)), std::string::npos) << notes;
}

INSTANTIATE_TEST_SUITE_P(
    HttpRequestsTest, FaultySourceTest,
    ::testing::Values(
        // The last block reaches past the real end; every answer stops short of it.
        FaultySource{"SizeItCannotServe", ScriptedHttpMode::kClaimsLargerSize, (1 << 20) + 3000,
                     [](size_t size) {
                         return "its answer ends at byte " + std::to_string(size - 1) +
                                ", short of the block asked for, in a file it says has " + std::to_string(size + 1000) +
                                " bytes";
                     },
                     8, 40},
        // Only the last chunk tells where the body ends.
        FaultySource{"SizeItCannotServeInChunks", ScriptedHttpMode::kClaimsLargerSizeChunked, (1 << 20) + 3000,
                     [](size_t size) {
                         return "its answers never reach byte " + std::to_string(size / 16384 * 16384) +
                                ", asked for 4 times";
                     },
                     8, 40},
        // Twice 20 s under 1 KiB/s, 15 s apart.
        FaultySource{"Trickle", ScriptedHttpMode::kTrickles, 256 * 1024,
                     [](size_t) { return std::string("it was under 1 KiB/s again (sent "); }, 4, 90},
        FaultySource{"ContentEncoding", ScriptedHttpMode::kGzipEncoded, 256 * 1024,
                     [](size_t) { return std::string("it sent the file encoded (Content-Encoding: gzip), which is never asked for"); }, 4, 40},
        FaultySource{"RedirectOutOfHttp", ScriptedHttpMode::kRedirectsToFile, 256 * 1024,
                     [](size_t) { return std::string("it redirects to a file:// address, which cannot be fetched"); }, 4,
                     40}),
    [](const ::testing::TestParamInfo<FaultySource>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace veldmoor::test
