// veldmoor-cli (its test copy, whose profile is made at run time) against a
// demo world on free loopback ports: scripts/demo-world.sh brings up nginx
// mirrors, the HTTPS resource list, the tracker and veldmoor-get seeders for
// a small demo installer. The client downloads, verifies and launches it,
// and recovers after being killed mid-download. These take real seconds.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"
#include "tests/tools/DemoWorld.h"
#include "tests/tools/ProgramRun.h"

namespace veldmoor::test {
namespace {

constexpr auto kRunLimit = std::chrono::seconds(120);

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// An ended process that init has not reaped yet (a zombie) is not alive.
bool ProcessAlive(int pid) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

bool ToolsPresent() {
    return std::system("command -v nginx >/dev/null 2>&1 || test -x /usr/sbin/nginx") == 0 &&
           std::system("command -v opentracker openssl curl >/dev/null 2>&1") == 0;
}

// The progress of the last status line of a "downloading" line, in percent.
std::optional<double> LastDownloadingPercent(const std::string& output) {
    std::istringstream lines(output);
    std::string line;
    std::optional<double> percent;
    while (std::getline(lines, line)) {
        if (line.rfind("downloading  ", 0) != 0) continue;
        percent = std::strtod(line.c_str() + 13, nullptr);
    }
    return percent;
}

// "from peers 1.0 MB (1048576 bytes)" in the client's last words.
std::optional<uint64_t> PeerBytes(const std::string& errors) {
    const std::string marker = "from peers ";
    const size_t at = errors.rfind(marker);
    if (at == std::string::npos) return std::nullopt;
    const size_t open = errors.find('(', at);
    if (open == std::string::npos) return std::nullopt;
    return std::strtoull(errors.c_str() + open + 1, nullptr, 10);
}

class DemoWorldTest : public ::testing::Test {
protected:
    void SetUp() override {
        VELDMOOR_REQUIRE_STARTED(ToolsPresent(), "nginx, opentracker, openssl and curl (scripts/setup.sh installs them)");
    }
    TempDir dir_;
};

TEST_F(DemoWorldTest, UpServesTheWorldAndDownLeavesNothingRunning) {
    DemoWorld world(dir_.Path());
    std::string error, output;
    ASSERT_TRUE(world.Make({2u << 20, 2, "1m"}, error)) << error;
    ASSERT_TRUE(world.Up(output)) << output;
    EXPECT_TRUE(world.StatusSaysUp());
    const std::vector<int> pids = world.Pids();
    ASSERT_EQ(pids.size(), 4u) << "nginx, opentracker and two seeders";
    for (const int pid : pids) EXPECT_TRUE(ProcessAlive(pid)) << pid;
    EXPECT_EQ(world.ListeningPorts().size(), 9u)
        << "three mirrors, the list, the tracker's front and back, the statistics collector, two seeders";

    // The list answers over HTTPS with the world's CA, and only with it.
    const std::string tls = world.WorldFolder() + "/tls/ca.pem";
    const std::string list = dir_.File("list.xml");
    const std::string env = ReadText(world.BuildFolder() + "/demo-world.env");
    const size_t urlAt = env.find("VELDMOOR_DEMO_LIST_URL='") + 24;
    const std::string url = env.substr(urlAt, env.find('\'', urlAt) - urlAt);
    EXPECT_EQ(std::system(("curl -sf --cacert '" + tls + "' -o '" + list + "' '" + url + "'").c_str()), 0);
    const std::string document = ReadText(list);
    EXPECT_NE(document.find("<ResourceList>"), std::string::npos) << document;
    EXPECT_NE(document.find("Task=\"P2PSwitch\" Open=\"true\""), std::string::npos) << document;
    EXPECT_NE(std::system(("curl -sf -o /dev/null '" + url + "'").c_str()), 0) << "the system store trusts the world's CA";

    ASSERT_TRUE(world.Down(output)) << output;
    for (const int pid : pids) EXPECT_FALSE(ProcessAlive(pid)) << pid << " still runs after down";
    EXPECT_TRUE(world.ListeningPorts().empty());
    EXPECT_FALSE(world.StatusSaysUp());
    EXPECT_TRUE(world.Pids().empty()) << "pid files left behind";
    EXPECT_TRUE(world.Down(output)) << "a second down is harmless: " << output;
}

TEST_F(DemoWorldTest, UpRefusesAWorldThatIsAlreadyUp) {
    DemoWorld world(dir_.Path());
    std::string error, output;
    ASSERT_TRUE(world.Make({1u << 20, 0, "1m"}, error)) << error;
    ASSERT_TRUE(world.Up(output)) << output;
    const std::vector<int> pids = world.Pids();
    EXPECT_FALSE(world.Up(output));
    EXPECT_NE(output.find("already up"), std::string::npos) << output;
    EXPECT_EQ(world.Pids(), pids) << "the refused up replaced the running world's pid files";
    ASSERT_TRUE(world.Down(output)) << output;
}

class VeldmoorCliEndToEndTest : public DemoWorldTest {
protected:
    void StartWorld(const DemoWorldSettings& settings) {
        world_ = std::make_unique<DemoWorld>(dir_.File("world"));
        std::string error, output;
        ASSERT_TRUE(world_->Make(settings, error)) << error;
        ASSERT_TRUE(world_->Up(output)) << output;
        // The client's surroundings: its profile, its own data folder, and
        // where the demo installer notes that it ran.
        ::setenv("VELDMOOR_PROFILE_FILE", world_->Product().descriptionPath.c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir_.File("data").c_str(), 1);
        ::setenv("VELDMOOR_DEMO_MARK", Mark().c_str(), 1);
        // English, as the lines below read it ("launched", "from peers").
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_MESSAGES");
        ::setenv("LANGUAGE", "en", 1);
        ::setenv("LANG", "en_US.UTF-8", 1);
    }

    bool StartCli(ProgramRun& run, int round) {
        return run.Start(VELDMOOR_CLI_PATH, {"--save-dir", SaveFolder(), "--upnp", "off"}, Output(round), Errors(round));
    }

    std::string SaveFolder() const { return dir_.File("save"); }
    std::string Installer() const { return SaveFolder() + "/VeldmoorDemo_setup_0.1.0.0.run"; }
    std::string Mark() const { return dir_.File("mark"); }
    std::string Output(int round) const { return dir_.File("cli" + std::to_string(round) + ".out"); }
    std::string Errors(int round) const { return dir_.File("cli" + std::to_string(round) + ".err"); }
    std::string Logs(int round) const {
        return "\n--- stdout:\n" + ReadText(Output(round)) + "\n--- stderr:\n" + ReadText(Errors(round));
    }

    void ExpectInstallerRan() {
        EXPECT_EQ(Md5OfFile(Installer()), world_->Product().profile.expectedMd5);
        // The installer runs on its own after the client has ended.
        EXPECT_TRUE(WaitUntil([&] { return !ReadText(Mark()).empty(); }, std::chrono::seconds(20)));
        EXPECT_EQ(ReadText(Mark()), "ran " + Installer() + "\n");
    }

    TempDir dir_;
    std::unique_ptr<DemoWorld> world_;
};

TEST_F(VeldmoorCliEndToEndTest, DownloadsFromMirrorsAndSeedersVerifiesAndLaunches) {
    // Slow mirrors, so the seeders have a share to carry.
    ASSERT_NO_FATAL_FAILURE(StartWorld({8u << 20, 2, "256k"}));
    ProgramRun run;
    ASSERT_TRUE(StartCli(run, 1));
    EXPECT_EQ(run.WaitForExit(kRunLimit), std::optional<int>(0)) << Logs(1);
    ExpectInstallerRan();

    const std::string output = ReadText(Output(1));
    const std::string errors = ReadText(Errors(1));
    EXPECT_NE(output.find("checkfinished"), std::string::npos) << Logs(1);
    EXPECT_NE(errors.find("MD5匹配：VeldmoorDemo_setup_0.1.0.0.run"), std::string::npos) << Logs(1);
    EXPECT_NE(errors.find("launched " + Installer()), std::string::npos) << Logs(1);
    // The resource list came over HTTPS, with the world's CA; its peer
    // switch reached the engine. (Its mirrors may see no request when the
    // seeders finish first; the kill test below shows them used.)
    EXPECT_NE(ReadText(world_->WorldFolder() + "/logs/resource-list.access.log")
                  .find("/downloader/VeldmoorDemoResourceList.xml 200"),
              std::string::npos);
    EXPECT_NE(errors.find("启用P2P功能"), std::string::npos) << Logs(1);
    const auto fromPeers = PeerBytes(errors);
    ASSERT_TRUE(fromPeers.has_value()) << Logs(1);
    EXPECT_GT(*fromPeers, 0u) << "the seeders carried nothing" << Logs(1);
    // The publisher's collector holds the whole flow of this one machine:
    // started, completed, verified, not repaired, installed, not failed.
    std::string report = world_->StatisticsReport();
    std::erase(report, ' ');
    EXPECT_NE(report.find("111010\n"), std::string::npos) << world_->StatisticsReport();
    std::printf("mirror bytes %llu %llu %llu, peer bytes %llu\n",
                static_cast<unsigned long long>(world_->MirrorBytes(1)),
                static_cast<unsigned long long>(world_->MirrorBytes(2)),
                static_cast<unsigned long long>(world_->MirrorBytes(3)), static_cast<unsigned long long>(*fromPeers));
}

TEST_F(VeldmoorCliEndToEndTest, CtrlCIsTheUsersExit) {
    ASSERT_NO_FATAL_FAILURE(StartWorld({8u << 20, 0, "256k"}));
    ProgramRun run;
    ASSERT_TRUE(StartCli(run, 1));
    ASSERT_TRUE(WaitUntil([&] { return ReadText(Output(1)).find("downloading  ") != std::string::npos; }, kRunLimit))
        << Logs(1);
    ASSERT_TRUE(run.SendSignal(SIGINT));
    EXPECT_EQ(run.WaitForExit(std::chrono::seconds(30)), std::optional<int>(130)) << Logs(1);
    const std::string errors = ReadText(Errors(1));
    EXPECT_NE(errors.find("run again to continue"), std::string::npos) << Logs(1);
    EXPECT_NE(errors.find("用户点击退出按钮"), std::string::npos) << "not handled as the user's exit" << Logs(1);
    EXPECT_FALSE(std::filesystem::exists(Mark())) << "launched after an exit";
}

TEST_F(VeldmoorCliEndToEndTest, KilledMidDownloadRecoversAndFinishesWithTheRightMd5) {
    // Mirrors only, slow enough that there is a middle to kill it in. The
    // engine keeps up to 16 MiB of finished pieces in memory before it
    // writes them, so the file is large enough for a good part of it to be
    // on disk at the kill. The resource list's mirrors join after ten
    // rounds that start nothing; the kill waits until they have served a
    // request, so how fast the first mirror alone gets to half does not matter.
    const uint64_t size = 64u << 20;
    ASSERT_NO_FATAL_FAILURE(StartWorld({size, 0, "2m"}));
    {
        ProgramRun first;
        ASSERT_TRUE(StartCli(first, 1));
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto percent = LastDownloadingPercent(ReadText(Output(1)));
                return percent && *percent >= 50 && world_->MirrorBytes(2) + world_->MirrorBytes(3) > 0;
            },
            kRunLimit))
            << Logs(1);
        ASSERT_TRUE(first.SendSignal(SIGKILL));
        EXPECT_EQ(first.WaitForExit(std::chrono::seconds(10)), std::optional<int>(-SIGKILL));
    }
    EXPECT_FALSE(std::filesystem::exists(Installer())) << "complete before the kill" << Logs(1);
    EXPECT_GT(world_->MirrorBytes(2) + world_->MirrorBytes(3), 0u) << "the resource list's mirrors were not used"
                                                                    << Logs(1);
    const uint64_t servedBeforeKill = world_->MirrorBytes(1) + world_->MirrorBytes(2) + world_->MirrorBytes(3);

    ProgramRun second;
    ASSERT_TRUE(StartCli(second, 2));
    EXPECT_EQ(second.WaitForExit(kRunLimit), std::optional<int>(0)) << Logs(2);
    ExpectInstallerRan();
    EXPECT_NE(ReadText(Errors(2)).find("下载状态改变为recover"), std::string::npos) << Logs(2);
    // What reached the disk before the kill was kept: the second run did not
    // fetch the whole file again.
    const uint64_t servedInAll = world_->MirrorBytes(1) + world_->MirrorBytes(2) + world_->MirrorBytes(3);
    EXPECT_LT(servedInAll - servedBeforeKill, size)
        << "served before the kill " << servedBeforeKill << ", in all " << servedInAll << Logs(2);
    std::printf("mirrors served %llu bytes before the kill and %llu after it\n",
                static_cast<unsigned long long>(servedBeforeKill),
                static_cast<unsigned long long>(servedInAll - servedBeforeKill));
}

}  // namespace
}  // namespace veldmoor::test
