// Two veldmoor-get processes behind two NAT routers, in network namespaces the
// test makes as root: a seeder behind one router and a leecher behind the
// other find each other through opentracker and veldmoor-natd on the network
// between the routers. TCP cannot pass the routers, so every byte the leecher
// gets comes over the UDP stream transport. Once without loss and once with
// the routers dropping 5 % of what they forward. Takes real seconds.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "tests/tools/ProgramRun.h"
#include "tests/tools/StatusJsonShape.h"

namespace veldmoor::test {
namespace {

constexpr size_t kFileSize = 4 << 20;
constexpr int64_t kPieceLength = 256 * 1024;
constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kServerAddress = "198.51.100.254";
constexpr const char* kTrackerPort = "6969";
constexpr const char* kNatPort = "82";
constexpr auto kRunLimit = std::chrono::seconds(240);

std::string ReadText(const std::string& path) { return platform::ReadWholeFile(path).value_or(""); }

std::string InfoHashHex(const std::string& torrent) {
    const std::string key = "4:info";
    const size_t at = torrent.find(key) + key.size();
    const std::string info = torrent.substr(at, torrent.size() - 1 - at);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(info.data(), info.size(), digest, &length, EVP_sha1(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

class NatTraversalEndToEndTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        VELDMOOR_REQUIRE_ROOT("making network namespaces");
        for (const char* program : {"opentracker", "nft"}) {
            VELDMOOR_REQUIRE_STARTED(ProgramExists(program), program << " (scripts/setup.sh installs it)");
        }
        suffix_ = std::to_string(::getpid() % 100000);
        ASSERT_EQ(Script("up " + suffix_ + " " + std::to_string(GetParam())), 0) << "could not make the namespaces";
        namespacesUp_ = true;
    }

    void TearDown() override {
        seeder_.reset();
        leecher_.reset();
        natd_.reset();
        tracker_.reset();
        if (namespacesUp_) Script("down " + suffix_);
    }

    static int Script(const std::string& arguments) {
        return std::system(("sh " VELDMOOR_NAT_NAMESPACES_SCRIPT " " + arguments + " >/dev/null 2>&1").c_str());
    }

    std::unique_ptr<ProgramRun> StartIn(const std::string& space, const std::vector<std::string>& command,
                                        const std::string& name) {
        std::vector<std::string> arguments = {"netns", "exec", space + suffix_};
        arguments.insert(arguments.end(), command.begin(), command.end());
        auto run = std::make_unique<ProgramRun>();
        EXPECT_TRUE(run->Start(kIp, arguments, dir_.File(name + ".out"), dir_.File(name + ".err")));
        return run;
    }

    std::string Logs() const {
        std::string logs;
        for (const char* name : {"leecher", "seeder", "natd", "tracker"}) {
            logs += std::string("\n--- ") + name + ":\n" + ReadText(dir_.File(std::string(name) + ".out")) +
                    ReadText(dir_.File(std::string(name) + ".err"));
        }
        return logs;
    }

    std::string suffix_;
    bool namespacesUp_ = false;
    TempDir dir_;
    std::unique_ptr<ProgramRun> natd_, tracker_, seeder_, leecher_;
};

TEST_P(NatTraversalEndToEndTest, LeecherBehindOneNatDownloadsFromSeederBehindAnother) {
    const std::string content = PatternBytes(kFileSize, 41);
    const std::string announce = std::string("http://") + kServerAddress + ":" + kTrackerPort + "/announce";
    const std::string torrent = SingleFileTorrent("file.bin", content, kPieceLength, announce);
    std::filesystem::create_directories(dir_.File("seed"));
    std::ofstream(dir_.File("seed/file.bin"), std::ios::binary) << content;
    std::ofstream(dir_.File("t.torrent"), std::ios::binary) << torrent;
    // The tracker drops to an unprivileged user, which must still read its folder.
    namespace fs = std::filesystem;
    const fs::path trackerFolder = dir_.File("tracker");
    fs::create_directories(trackerFolder);
    std::ofstream(trackerFolder / "whitelist") << InfoHashHex(torrent) << "\n";
    fs::permissions(trackerFolder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(trackerFolder / "whitelist",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    const std::string expectedMd5 = Md5OfFile(dir_.File("seed/file.bin"));
    const std::string natServer = std::string(kServerAddress) + ":" + kNatPort;

    natd_ = StartIn("vmP", {VELDMOOR_NATD_PATH, "--bind", kServerAddress, "--stats-seconds", "0", kNatPort}, "natd");
    tracker_ = StartIn("vmP", {"opentracker", "-i", kServerAddress, "-p", kTrackerPort, "-P", kTrackerPort, "-d",
                               trackerFolder.string(), "-w", "whitelist"},
                       "tracker");
    ASSERT_TRUE(WaitUntil([&] { return ReadText(dir_.File("natd.out")).find("listening") != std::string::npos; }));
    seeder_ = StartIn("vmA",
                      {VELDMOOR_GET_PATH, "-o", dir_.File("seed/file.bin"), "-T", dir_.File("t.torrent"), "--p2p", "on",
                       "--port", "6881", "--seed", "--nat-server", natServer, "--status-json"},
                      "seeder");
    // The seeder has checked its data and announced itself.
    ASSERT_TRUE(WaitUntil([&] { return ReadText(dir_.File("seeder.err")).find("seeding") != std::string::npos; },
                          std::chrono::seconds(30)))
        << Logs();

    const auto start = std::chrono::steady_clock::now();
    leecher_ = StartIn("vmB",
                       {VELDMOOR_GET_PATH, "-o", dir_.File("leech/file.bin"), "-T", dir_.File("t.torrent"), "--p2p",
                        "on", "--port", "6882", "--nat-server", natServer, "--status-json"},
                       "leecher");
    const auto status = leecher_->WaitForExit(kRunLimit);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(status.has_value()) << "the leecher did not finish" << Logs();
    EXPECT_EQ(*status, 0) << Logs();
    EXPECT_EQ(Md5OfFile(dir_.File("leech/file.bin")), expectedMd5);

    std::optional<StatusLine> last;
    std::ifstream lines(dir_.File("leecher.out"));
    for (std::string line; std::getline(lines, line);) {
        if (const auto parsed = ParseStatusLine(line)) last = parsed;
    }
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->fromPeers, static_cast<long long>(kFileSize));

    // The rendezvous took place.
    natd_->SendSignal(SIGTERM);
    ASSERT_TRUE(natd_->WaitForExit(std::chrono::seconds(10)).has_value());
    const std::string counters = ReadText(dir_.File("natd.out"));
    EXPECT_EQ(counters.find("lookups 0"), std::string::npos) << counters;
    EXPECT_EQ(counters.find("introductions 0"), std::string::npos) << counters;
    ::testing::Test::RecordProperty("seconds", std::to_string(seconds));
    std::cout << "  " << GetParam() << " % loss: " << kFileSize << " bytes in " << seconds << " s\n";
}

INSTANTIATE_TEST_SUITE_P(Loss, NatTraversalEndToEndTest, ::testing::Values(0, 5),
                         [](const ::testing::TestParamInfo<int>& row) { return std::to_string(row.param) + "Percent"; });

}  // namespace
}  // namespace veldmoor::test
