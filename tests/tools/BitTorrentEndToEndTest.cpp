// veldmoor-get as a process in BitTorrent swarms on loopback with a 256 MiB
// file: it downloads from aria2c seeders found through a real opentracker
// (announced over HTTP and over UDP), seeds to an aria2c leecher, and takes a
// P2SP task from an nginx mirror and a seeder at once. The engine refuses
// peers at 127.0.0.1 and opentracker lists a peer under the address its
// announce came from, so every aria2c runs on an address of its own in 127/8.
// These tests take real seconds by nature.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Socket.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NginxServer.h"
#include "tests/support/OpentrackerServer.h"
#include "tests/support/SharedFixture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "tests/tools/ProgramRun.h"
#include "tests/tools/StatusJsonShape.h"

namespace veldmoor::test {
namespace {

constexpr int64_t kFileSize = int64_t{256} << 20;
constexpr int64_t kPieceLength = 256 * 1024;
constexpr auto kRunLimit = std::chrono::seconds(180);
constexpr auto kSwarmLimit = std::chrono::seconds(30);
constexpr int kExitComplete = 0;
constexpr long long kProgressComplete = 10000;
const std::string kFileName = "big.bin";

using InfoHash = std::array<uint8_t, 20>;

using Status = StatusLine;

std::string Digest(const EVP_MD* kind, const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, kind, nullptr) != 1) return {};
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Bencoded(const std::string& text) { return std::to_string(text.size()) + ":" + text; }

// The torrent with `announce` as its tracker. SingleFileTorrent's keys are
// sorted and "announce" sorts before "info", so it goes right after the "d".
std::string WithAnnounce(const std::string& torrent, const std::string& announce) {
    return "d" + Bencoded("announce") + Bencoded(announce) + torrent.substr(1);
}

std::string ReadText(const std::string& path) { return platform::ReadWholeFile(path).value_or(""); }

void Report(const std::string& key, const std::string& value) {
    ::testing::Test::RecordProperty(key, value);
    std::cout << "  " << key << ": " << value << '\n';
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string PercentEncoded(const InfoHash& bytes) {
    std::string text;
    char escape[4];
    for (const uint8_t byte : bytes) {
        std::snprintf(escape, sizeof escape, "%%%02X", byte);
        text += escape;
    }
    return text;
}

// A whole HTTP answer from the loopback server at `port`, empty on failure.
std::string HttpGet(int port, const std::string& target) {
    using namespace platform;
    const SocketHandle socket = OpenStreamSocket();
    if (socket < 0) return {};
    const Endpoint endpoint{Ipv4Address::FromOctets(127, 0, 0, 1), static_cast<uint16_t>(port)};
    std::string answer;
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    const int connect = ConnectSocket(socket, endpoint);
    const bool sent = (connect == 0 || IsWouldBlock(connect)) &&
                      WaitOnSocket(socket, SocketWait::kWritable, 2000) == 1 && PendingSocketError(socket) == 0 &&
                      SendOnSocket(socket, request.data(), request.size()) == static_cast<long>(request.size());
    if (sent) {
        char buffer[4096];
        while (WaitOnSocket(socket, SocketWait::kReadable, 2000) == 1) {
            const long received = ReceiveOnSocket(socket, buffer, sizeof buffer);
            if (received <= 0) break;
            answer.append(buffer, static_cast<size_t>(received));
        }
    }
    CloseSocket(socket);
    return answer;
}

// The integer after `key` in a bencoded text, -1 when it is not there.
long long BencodedNumber(const std::string& text, const std::string& key) {
    const std::string marker = Bencoded(key) + "i";
    const size_t at = text.find(marker);
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + marker.size(), nullptr, 10);
}

// The peers a tracker knows for a torrent, from its scrape answer.
struct SwarmCount {
    long long seeders = -1, leechers = -1;
};

class BitTorrentSwarmTest : public ::testing::Test {
protected:
    // The file, a seed folder holding it, the torrent without a tracker and
    // its MD5, made once for every suite of the process: that is the slow part.
    static void SetUpTestSuite() {
        if (shared_) return;
        shared_ = std::make_unique<TempDir>();
        const auto size = static_cast<size_t>(kFileSize);
        // A copy, not a link: aria2c opens what it seeds for writing.
        std::filesystem::create_directories(SeedFolder());
        ASSERT_TRUE(std::filesystem::copy_file(SharedPatternFile(size, 23), SeedFolder() + "/" + kFileName));
        torrent_ = SharedPatternTorrent(kFileName, size, 23, kPieceLength);
        const size_t info = torrent_.find(Bencoded("info")) + Bencoded("info").size();
        const std::string hash = Digest(EVP_sha1(), torrent_.substr(info, torrent_.size() - 1 - info));
        std::memcpy(infoHash_.data(), hash.data(), std::min(hash.size(), infoHash_.size()));
        expectedMd5_ = SharedPatternMd5(size, 23);
    }

    void SetUp() override {
        for (const char* program : {"aria2c", "opentracker"})
            ASSERT_TRUE(ProgramExists(program)) << program << " is not installed (scripts/setup.sh installs it)";
    }

    static std::string SeedFolder() { return shared_->File("seed"); }

    // A fresh opentracker, and the torrent announcing to it.
    void StartTracker(bool udp) {
        ASSERT_GT(tracker_.Start({infoHash_}, dir_.Path()), 0) << "opentracker did not start";
        std::ofstream(TorrentPath(), std::ios::binary | std::ios::trunc)
            << WithAnnounce(torrent_, tracker_.AnnounceUrl(udp));
    }

    std::string TorrentPath() const { return dir_.File("big.torrent"); }
    std::string Target() const { return dir_.File("got/" + kFileName); }

    // aria2c seeding the shared file from 127.0.0.`lastByte`. Over a UDP
    // tracker it needs DHT on: its UDP tracker traffic uses the DHT socket.
    void StartSeeder(int lastByte, bool udp) {
        const std::string name = "seeder" + std::to_string(lastByte);
        const std::string folder = dir_.File(name);
        std::filesystem::create_directories(folder);
        // Each seeder in a folder of its own, should aria2c keep files next to the data.
        std::filesystem::create_hard_link(SeedFolder() + "/" + kFileName, folder + "/" + kFileName);
        std::vector<std::string> arguments = Aria2Arguments(lastByte, udp, folder);
        arguments.insert(arguments.end(), {"--seed-ratio=0.0", "--bt-seed-unverified=true", TorrentPath()});
        seeders_.push_back(std::make_unique<ChildProcess>());
        ASSERT_TRUE(seeders_.back()->Start(arguments, dir_.File(name + ".log")));
    }

    static std::vector<std::string> Aria2Arguments(int lastByte, bool udp, const std::string& folder) {
        std::vector<std::string> arguments = {
            "aria2c", "--interface=127.0.0." + std::to_string(lastByte),
            "--listen-port=" + std::to_string(FreeLoopbackPort()), "--bt-enable-lpd=false",
            "--enable-peer-exchange=false", "--file-allocation=none", "--summary-interval=0",
            "--console-log-level=notice", "-d", folder};
        if (udp) {
            arguments.insert(arguments.end(),
                             {"--enable-dht=true", "--dht-listen-port=" + std::to_string(FreeLoopbackPort())});
        } else {
            arguments.push_back("--enable-dht=false");
        }
        return arguments;
    }

    SwarmCount Swarm() const {
        const std::string answer = HttpGet(tracker_.Port(), "/scrape?info_hash=" + PercentEncoded(infoHash_));
        return {BencodedNumber(answer, "complete"), BencodedNumber(answer, "incomplete")};
    }

    // Waits until the tracker counts `seeders` seeders: before that a
    // downloader would learn of no one and wait a whole announce interval.
    void WaitForSeeders(long long seeders) {
        ASSERT_TRUE(WaitUntil([&] { return Swarm().seeders >= seeders; }, kSwarmLimit))
            << "the tracker counts " << Swarm().seeders << " seeders; " << SeederLogs();
    }

    std::string SeederLogs() const {
        std::string logs;
        for (int lastByte = 3; lastByte <= 6; ++lastByte) {
            const std::string path = dir_.File("seeder" + std::to_string(lastByte) + ".log");
            if (platform::FileExists(path))
                logs += "\n--- aria2c at 127.0.0." + std::to_string(lastByte) + ":\n" + ReadText(path);
        }
        return logs;
    }

    std::vector<std::string> GetArguments(const std::vector<std::string>& extra) const {
        std::vector<std::string> arguments = {"-o", Target(), "-T", TorrentPath(), "--p2p", "on", "--port",
                                              std::to_string(FreeLoopbackPort()), "--status-json"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    void StartGet(const std::vector<std::string>& arguments) {
        ASSERT_TRUE(get_.Start(VELDMOOR_GET_PATH, arguments, dir_.File("out.txt"), dir_.File("err.txt")));
    }

    // Runs veldmoor-get to its end: its exit status; its run time in `seconds`.
    int RunGet(const std::vector<std::string>& arguments, double* seconds) {
        const auto start = std::chrono::steady_clock::now();
        StartGet(arguments);
        if (HasFatalFailure()) return -1000;
        const auto status = get_.WaitForExit(kRunLimit);
        *seconds = SecondsSince(start);
        EXPECT_TRUE(status.has_value()) << "veldmoor-get did not end; " << GetErrors();
        return status.value_or(-1000);
    }

    std::string GetErrors() const { return "its errors: " + ReadText(dir_.File("err.txt")); }

    // The status lines so far, a line still being written left out.
    std::vector<Status> StatusLines() const {
        std::vector<Status> lines;
        std::ifstream file(dir_.File("out.txt"));
        for (std::string line; std::getline(file, line);)
            if (const auto status = ParseStatusLine(line)) lines.push_back(*status);
        return lines;
    }

    std::optional<Status> LastStatus() const {
        const std::vector<Status> lines = StatusLines();
        if (lines.empty()) return std::nullopt;
        return lines.back();
    }

    static inline std::unique_ptr<TempDir> shared_;
    static inline std::string torrent_;
    static inline InfoHash infoHash_{};
    static inline std::string expectedMd5_;

    TempDir dir_;
    OpentrackerServer tracker_;
    std::vector<std::unique_ptr<ChildProcess>> seeders_;
    ProgramRun get_;
};

// The tracker over HTTP or over UDP.
class BitTorrentDownloadEndToEndTest : public BitTorrentSwarmTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BitTorrentDownloadEndToEndTest, TwoAria2cSeedersFoundThroughTheTrackerServeTheWholeFile) {
    const bool udp = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartTracker(udp));
    ASSERT_NO_FATAL_FAILURE(StartSeeder(3, udp));
    ASSERT_NO_FATAL_FAILURE(StartSeeder(4, udp));
    ASSERT_NO_FATAL_FAILURE(WaitForSeeders(2));

    double seconds = 0;
    EXPECT_EQ(RunGet(GetArguments({}), &seconds), kExitComplete) << GetErrors() << SeederLogs();
    EXPECT_EQ(Md5OfFile(Target()), expectedMd5_) << "the downloaded file differs";
    const auto last = LastStatus();
    ASSERT_TRUE(last.has_value()) << "no status line";
    Report("seconds", std::to_string(seconds));
    Report("from_peers", std::to_string(last->fromPeers));
    EXPECT_EQ(last->progress, kProgressComplete);
    EXPECT_GE(last->fromPeers, kFileSize) << "a BitTorrent task has nothing but peers to fetch from";
    EXPECT_EQ(last->fromSources, 0);
}

INSTANTIATE_TEST_SUITE_P(Trackers, BitTorrentDownloadEndToEndTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& row) { return row.param ? "Udp" : "Http"; });

using BitTorrentEndToEndTest = BitTorrentSwarmTest;

TEST_F(BitTorrentEndToEndTest, AnAria2cLeecherDownloadsTheFileThatVeldmoorGetSeeds) {
    ASSERT_NO_FATAL_FAILURE(StartTracker(false));
    // A copy: the seeder must not share its file with the other tests.
    std::filesystem::create_directories(std::filesystem::path(Target()).parent_path());
    std::filesystem::copy_file(SeedFolder() + "/" + kFileName, Target());
    ASSERT_NO_FATAL_FAILURE(StartGet(GetArguments({"--seed"})));
    // It finds its data complete and tells the tracker so.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto last = LastStatus();
            return last && last->progress == kProgressComplete && Swarm().seeders >= 1;
        },
        kSwarmLimit))
        << "tracker counts " << Swarm().seeders << " seeders, " << Swarm().leechers << " leechers; " << GetErrors();

    const std::string leechFolder = dir_.File("leecher");
    std::filesystem::create_directories(leechFolder);
    std::vector<std::string> arguments = Aria2Arguments(5, false, leechFolder);
    arguments.insert(arguments.end(), {"--seed-time=0", TorrentPath()});
    ProgramRun leecher;
    const auto start = std::chrono::steady_clock::now();
    // Through env, which finds aria2c on PATH.
    ASSERT_TRUE(leecher.Start("/usr/bin/env", arguments, dir_.File("leecher.log"), dir_.File("leecher.err")));
    const auto status = leecher.WaitForExit(kRunLimit);
    const double seconds = SecondsSince(start);
    EXPECT_EQ(status, std::optional<int>(0)) << ReadText(dir_.File("leecher.log")) << GetErrors();
    EXPECT_EQ(Md5OfFile(leechFolder + "/" + kFileName), expectedMd5_) << "aria2c got a different file";
    Report("leecher_seconds", std::to_string(seconds));

    EXPECT_TRUE(get_.SendSignal(SIGINT));
    EXPECT_EQ(get_.WaitForExit(std::chrono::seconds(30)), std::optional<int>(kExitComplete)) << GetErrors();
    EXPECT_EQ(Md5OfFile(Target()), expectedMd5_) << "seeding changed the seeder's file";
}

TEST_F(BitTorrentEndToEndTest, AP2spTaskTakesPartsFromTheMirrorAndFromASeeder) {
    ASSERT_NO_FATAL_FAILURE(StartTracker(false));
    ASSERT_NO_FATAL_FAILURE(StartSeeder(3, false));
    NginxServer mirror;
    // Slow enough that the seeder has a share to carry too.
    ASSERT_NE(mirror.Start(SeedFolder(), dir_.File("nginx"), "limit_rate 32m;"), 0)
        << "nginx did not start (scripts/setup.sh installs it)";
    ASSERT_NO_FATAL_FAILURE(WaitForSeeders(1));
    // veldmoor-get makes no folders for its output.
    std::filesystem::create_directories(std::filesystem::path(Target()).parent_path());

    double seconds = 0;
    EXPECT_EQ(RunGet(GetArguments({mirror.Url("/" + kFileName)}), &seconds), kExitComplete)
        << GetErrors() << SeederLogs();
    EXPECT_EQ(Md5OfFile(Target()), expectedMd5_) << "the downloaded file differs";
    const auto last = LastStatus();
    ASSERT_TRUE(last.has_value()) << "no status line";
    Report("seconds", std::to_string(seconds));
    Report("from_sources", std::to_string(last->fromSources));
    Report("from_peers", std::to_string(last->fromPeers));
    EXPECT_EQ(last->progress, kProgressComplete);
    EXPECT_GT(last->fromSources, 0) << "the mirror carried nothing";
    EXPECT_GT(last->fromPeers, 0) << "the seeder carried nothing";
    EXPECT_GE(last->fromSources + last->fromPeers, kFileSize);
}

}  // namespace
}  // namespace veldmoor::test
