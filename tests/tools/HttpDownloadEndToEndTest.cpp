// veldmoor-get as a process against real nginx mirrors on loopback, with a
// 256 MiB file: the file must arrive whole, be shared out between mirrors,
// get past a slow mirror and survive a killed run. The mirrors' access logs
// tell what each one really served. These tests take real seconds by nature.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/NginxServer.h"
#include "tests/support/SharedFixture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "tests/tools/ProgramRun.h"
#include "tests/tools/StatusJsonShape.h"

namespace veldmoor::test {
namespace {

constexpr int64_t kFileSize = int64_t{256} << 20;
constexpr int64_t kPieceLength = 512 * 1024;
constexpr int64_t kMiB = 1 << 20;
constexpr auto kRunLimit = std::chrono::seconds(180);
constexpr int kExitComplete = 0;
constexpr int64_t kStatusComplete = 20206;
const std::string kFileName = "big.bin";

// What one request of an access log served: where its body began and how
// many body bytes went out.
struct Served {
    int64_t start = 0;
    int64_t bytes = 0;
};

std::vector<Served> ReadAccessLog(const std::string& path) {
    std::vector<Served> served;
    std::ifstream log(path);
    for (std::string line; std::getline(log, line);) {
        std::istringstream fields(line);
        std::string uri, status, range;
        long long bytes = 0;
        if (!(fields >> uri >> status >> range >> bytes)) {
            ADD_FAILURE() << "unreadable access-log line: " << line;
            continue;
        }
        long long start = 0;  // no Range header: from the first byte
        std::sscanf(range.c_str(), "[bytes=%lld-", &start);
        served.push_back({start, bytes});
    }
    return served;
}

int64_t TotalBytes(const std::vector<Served>& served) {
    int64_t total = 0;
    for (const Served& entry : served) total += entry.bytes;
    return total;
}

// nginx logs a request when its connection ends, which can be a moment after
// the client has gone: wait until the logs have been still for a second.
void WaitForQuietLogs(const std::vector<std::string>& paths) {
    const auto totalSize = [&] {
        uintmax_t total = 0;
        for (const std::string& path : paths) {
            std::error_code error;
            const uintmax_t size = std::filesystem::file_size(path, error);
            if (!error) total += size;
        }
        return total;
    };
    uintmax_t last = totalSize();
    auto stillSince = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitUntil(
        [&] {
            const uintmax_t now = totalSize();
            if (now != last) {
                last = now;
                stillSince = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - stillSince >= std::chrono::seconds(1);
        },
        std::chrono::seconds(30)));
}

using Status = StatusLine;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Report(const std::string& key, const std::string& value) {
    ::testing::Test::RecordProperty(key, value);
    std::cout << "  " << key << ": " << value << '\n';
}

class HttpDownloadEndToEndTest : public ::testing::Test {
protected:
    // The served file, its torrent and its MD5 are made once for the suite.
    static void SetUpTestSuite() {
        shared_ = std::make_unique<TempDir>();
        const auto size = static_cast<size_t>(kFileSize);
        ASSERT_TRUE(PlaceSharedFixture(SharedPatternFile(size, 11), Root() + "/" + kFileName));
        WriteFile(TorrentPath(), SharedPatternTorrent(kFileName, size, 11, kPieceLength));
        expectedMd5_ = SharedPatternMd5(size, 11);
    }
    static void TearDownTestSuite() { shared_.reset(); }

    static std::string Root() { return shared_->File("www"); }
    static std::string TorrentPath() { return shared_->File("big.torrent"); }

    // Starts `count` mirrors of the file; `firstConfig` goes into the first
    // one's server block.
    void StartMirrors(int count, const std::string& firstConfig = "", const std::string& otherConfig = "") {
        for (int i = 0; i < count; ++i) {
            mirrors_.push_back(std::make_unique<NginxServer>());
            ASSERT_NE(mirrors_.back()->Start(Root(), dir_.File("nginx" + std::to_string(i)), i == 0 ? firstConfig : otherConfig),
                      0)
                << "nginx did not start (scripts/setup.sh installs it)";
        }
    }

    std::vector<std::string> Arguments(bool withTorrent) const {
        std::vector<std::string> arguments = {"-o", Target(), "--status-json"};
        if (withTorrent) arguments.insert(arguments.end(), {"-T", TorrentPath(), "--p2p", "off"});
        for (const auto& mirror : mirrors_) arguments.push_back(mirror->Url("/" + kFileName));
        return arguments;
    }

    void Start(const std::vector<std::string>& arguments) {
        ASSERT_TRUE(run_.Start(VELDMOOR_GET_PATH, arguments, dir_.File("out.txt"), dir_.File("err.txt")));
    }
    // Runs veldmoor-get to its end: its exit status; its run time in `seconds`.
    int Run(const std::vector<std::string>& arguments, double* seconds = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        Start(arguments);
        if (HasFatalFailure()) return -1000;
        const auto status = run_.WaitForExit(kRunLimit);
        if (seconds) *seconds = SecondsSince(start);
        EXPECT_TRUE(status.has_value()) << "veldmoor-get did not end; its errors: " << Errors();
        return status.value_or(-1000);
    }

    std::string Errors() const {
        std::ifstream file(dir_.File("err.txt"));
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    // The status lines so far, a line still being written left out.
    std::vector<Status> StatusLines(std::vector<std::string>* unreadable = nullptr) const {
        std::vector<Status> lines;
        std::ifstream file(dir_.File("out.txt"));
        for (std::string line; std::getline(file, line);) {
            if (const auto status = ParseStatusLine(line))
                lines.push_back(*status);
            else if (unreadable)
                unreadable->push_back(line);
        }
        return lines;
    }

    // Each mirror's requests, once the logs have settled.
    std::vector<std::vector<Served>> MirrorLogs() const {
        std::vector<std::string> paths;
        for (const auto& mirror : mirrors_) paths.push_back(mirror->AccessLog());
        WaitForQuietLogs(paths);
        std::vector<std::vector<Served>> logs;
        for (const std::string& path : paths) logs.push_back(ReadAccessLog(path));
        return logs;
    }

    std::string Target() const { return dir_.File(kFileName); }
    void ExpectTheFile() const { EXPECT_EQ(Md5OfFile(Target()), expectedMd5_) << "the downloaded file differs"; }

    // Kills a run mid-way, runs again with the same arguments, and tells how
    // much the second run fetched.
    void ResumeAfterKill(bool withTorrent);

    static inline std::unique_ptr<TempDir> shared_;
    static inline std::string expectedMd5_;

    TempDir dir_;
    std::vector<std::unique_ptr<NginxServer>> mirrors_;
    ProgramRun run_;
};

TEST_F(HttpDownloadEndToEndTest, OneMirrorServesTheWholeFileOnce) {
    ASSERT_NO_FATAL_FAILURE(StartMirrors(1));
    double seconds = 0;
    EXPECT_EQ(Run(Arguments(false), &seconds), kExitComplete) << Errors();
    ExpectTheFile();

    const int64_t served = TotalBytes(MirrorLogs()[0]);
    Report("seconds", std::to_string(seconds));
    Report("served_bytes", std::to_string(served));
    EXPECT_GE(served, kFileSize);
    EXPECT_LE(served, kFileSize + kFileSize / 20) << "one mirror sent much of the file twice";
}

TEST_F(HttpDownloadEndToEndTest, FourMirrorsShareTheFileInSeparateRanges) {
    ASSERT_NO_FATAL_FAILURE(StartMirrors(4));
    double seconds = 0;
    EXPECT_EQ(Run(Arguments(false), &seconds), kExitComplete) << Errors();
    ExpectTheFile();

    // A mirror's own range is the request that served it most; the others
    // are a first look at the size and ranges taken over near the end.
    std::vector<int64_t> rangeStarts;
    int64_t served = 0;
    const auto logs = MirrorLogs();
    for (size_t i = 0; i < logs.size(); ++i) {
        ASSERT_FALSE(logs[i].empty()) << "mirror " << i << " served nothing";
        const Served main = *std::max_element(logs[i].begin(), logs[i].end(),
                                              [](const Served& a, const Served& b) { return a.bytes < b.bytes; });
        EXPECT_GE(main.bytes, kFileSize / 8) << "mirror " << i << " did not carry a share";
        rangeStarts.push_back(main.start);
        served += TotalBytes(logs[i]);
        Report("mirror" + std::to_string(i), "range from " + std::to_string(main.start) + ", " +
                                                  std::to_string(logs[i].size()) + " requests, " +
                                                  std::to_string(TotalBytes(logs[i])) + " bytes");
    }
    std::sort(rangeStarts.begin(), rangeStarts.end());
    for (size_t i = 1; i < rangeStarts.size(); ++i)
        EXPECT_GE(rangeStarts[i] - rangeStarts[i - 1], kFileSize / 8) << "two mirrors began in the same part";
    Report("seconds", std::to_string(seconds));
    Report("served_over_size", std::to_string(static_cast<double>(served) / static_cast<double>(kFileSize)));
    EXPECT_LE(served, kFileSize + kFileSize / 2) << "the mirrors sent far more than the file";
}

TEST_F(HttpDownloadEndToEndTest, ASlowMirrorsRangeIsTakenOverByTheOthers) {
    constexpr int64_t kSlowRate = kMiB;  // limit_rate 1m
    ASSERT_NO_FATAL_FAILURE(StartMirrors(4, "limit_rate 1m;"));
    double seconds = 0;
    EXPECT_EQ(Run(Arguments(false), &seconds), kExitComplete) << Errors();
    ExpectTheFile();

    const int64_t quarter = kFileSize / 4;
    const std::vector<Served> slowLog = MirrorLogs()[0];
    const int64_t slowServed = TotalBytes(slowLog);
    Report("seconds", std::to_string(seconds));
    Report("slow_mirror", std::to_string(slowLog.size()) + " requests, " + std::to_string(slowServed) + " bytes");
    EXPECT_LT(seconds, static_cast<double>(quarter / kSlowRate) / 2) << "the slow mirror's quarter held the end up";
    // nginx lets each new request start with a second's worth at once, so
    // the slow mirror serves more than its rate times the run time.
    EXPECT_LT(slowServed, quarter / 2);
}

TEST_F(HttpDownloadEndToEndTest, StatusLinesOfAP2spTaskAgreeWithTheFile) {
    // Slow enough for a few status lines while the download runs.
    ASSERT_NO_FATAL_FAILURE(StartMirrors(4, "limit_rate 16m;", "limit_rate 16m;"));
    EXPECT_EQ(Run(Arguments(true)), kExitComplete) << Errors();
    ExpectTheFile();

    std::vector<std::string> unreadable;
    const std::vector<Status> lines = StatusLines(&unreadable);
    EXPECT_TRUE(unreadable.empty()) << unreadable.front();
    ASSERT_GE(lines.size(), 2u);
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("status line " + std::to_string(i));
        const Status& line = lines[i];
        EXPECT_TRUE(line.totalKib == 0 || line.totalKib == kFileSize / 1024) << line.totalKib;
        EXPECT_GE(line.remaining, 0);
        EXPECT_EQ(line.fromPeers, 0) << "no peer may be asked";
        if (i == 0) continue;
        EXPECT_GE(line.progress, lines[i - 1].progress);
        EXPECT_GE(line.fromSources, lines[i - 1].fromSources);
        if (line.fromSources > lines[i - 1].fromSources && line.progress < 10000) {
            EXPECT_GT(line.speed, 0) << "bytes arrived at no speed";
        }
    }
    const Status& last = lines.back();
    EXPECT_EQ(last.progress, 10000);
    EXPECT_EQ(last.status, kStatusComplete);
    EXPECT_EQ(last.totalKib, kFileSize / 1024);
    EXPECT_GE(last.fromSources, kFileSize);
    EXPECT_GE(last.onDisk, kFileSize);
    EXPECT_EQ(last.speed, 0);
}

void HttpDownloadEndToEndTest::ResumeAfterKill(bool withTorrent) {
    // Killed at a moment chosen by progress only: the task saves often enough
    // that whatever moment it is costs at most 32 MiB fetched again.
    constexpr int64_t kMostFetchedAgain = int64_t{32} << 20;
    ASSERT_NO_FATAL_FAILURE(StartMirrors(1, withTorrent ? "limit_rate 32m;" : "limit_rate 16m;"));
    const std::vector<std::string> arguments = Arguments(withTorrent);
    ASSERT_NO_FATAL_FAILURE(Start(arguments));
    long long progressAtKill = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const Status& line : StatusLines())
                if (line.progress >= 2000 && line.progress <= 9000) progressAtKill = line.progress;
            return progressAtKill != 0;
        },
        std::chrono::seconds(60)))
        << Errors();
    ASSERT_TRUE(run_.SendSignal(SIGKILL));
    ASSERT_EQ(run_.WaitForExit(std::chrono::seconds(10)), -SIGKILL);
    // nginx logs a connection once it sees it closed.
    int64_t firstRun = 0;
    WaitUntil([&] { return (firstRun = TotalBytes(MirrorLogs()[0])) > 0; }, std::chrono::seconds(5));

    EXPECT_EQ(Run(arguments), kExitComplete) << Errors();
    ExpectTheFile();
    const int64_t secondRun = TotalBytes(MirrorLogs()[0]) - firstRun;

    Report("progress_at_kill", std::to_string(progressAtKill));
    Report("first_run_bytes", std::to_string(firstRun));
    Report("second_run_bytes", std::to_string(secondRun));
    Report("refetched_bytes", std::to_string(firstRun + secondRun - kFileSize));
    // What the mirror sent counts bytes the killed run never read, so this is an upper bound.
    EXPECT_LE(firstRun + secondRun - kFileSize, kMostFetchedAgain) << "the first run's pieces were fetched again";
}

TEST_F(HttpDownloadEndToEndTest, AKilledP2spRunResumesWithoutFetchingItsPiecesAgain) { ResumeAfterKill(true); }

TEST_F(HttpDownloadEndToEndTest, AKilledHttpRunResumesWithoutFetchingItsSavedPiecesAgain) { ResumeAfterKill(false); }

}  // namespace
}  // namespace veldmoor::test
