// FTP mirrors end to end: the built veldmoor-get against a real FTP server
// (pyftpdlib, started per test with command logging), alone and next to an
// nginx mirror of the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "tests/support/FtpServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/SharedFixture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TorrentFixture.h"
#include "tests/tools/ProgramRun.h"

namespace veldmoor::test {
namespace {

constexpr size_t kLargeSize = 256 * 1024 * 1024;
constexpr auto kRunLimit = std::chrono::seconds(180);
constexpr int kExitComplete = 0;
constexpr int kExitSourcesFailed = 6;
constexpr int kExitInterrupted = 130;

std::string ReadText(const std::string& path) { return platform::ReadWholeFile(path).value_or(""); }

std::string LastLine(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const size_t newline = text.rfind('\n', end);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    return text.substr(start, end + 1 - start);
}

// The positions of the REST commands in a server log.
std::vector<int64_t> RestPositions(const std::string& log) {
    static constexpr std::string_view kRest = "<- rest ";
    std::vector<int64_t> positions;
    for (size_t at = log.find(kRest); at != std::string::npos; at = log.find(kRest, at + 1)) {
        const size_t digits = at + kRest.size();
        const size_t end = log.find_first_not_of("0123456789", digits);
        if (end == digits) continue;
        const size_t length = end == std::string::npos ? std::string::npos : end - digits;
        positions.push_back(std::stoll(log.substr(digits, length)));
    }
    return positions;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class FtpDownloadTest : public ::testing::Test {
protected:
    // One large file for every test of the process that needs it: making it
    // is the slow part.
    static std::string SharedRoot() {
        if (!shared_) {
            shared_ = new TempDir;
            const std::string large = SharedPatternFile(kLargeSize, 11);
            largeContent_ = new std::string(platform::ReadWholeFile(large).value_or(""));
            if (!PlaceSharedFixture(large, shared_->File("www/pub/large.bin"))) ADD_FAILURE() << "no shared large file";
        }
        return shared_->File("www");
    }
    static const std::string& LargeContent() {
        SharedRoot();
        return *largeContent_;
    }
    static void TearDownTestSuite() {
        delete largeContent_;
        delete shared_;
        largeContent_ = nullptr;
        shared_ = nullptr;
    }

    FtpServer& StartFtp(const std::string& root, const std::string& user = "", const std::string& password = "",
                        const std::string& passiveHost = "") {
        ftp_ = std::make_unique<FtpServer>();
        if (ftp_->Start(root, dir_.File("ftp.log"), user, password, passiveHost) == 0)
            ADD_FAILURE() << "the FTP server did not start";
        return *ftp_;
    }

    void Start(const std::vector<std::string>& arguments) {
        ASSERT_TRUE(run_.Start(VELDMOOR_GET_PATH, arguments, dir_.File("out.txt"), dir_.File("err.txt")));
    }
    int RunToEnd(const std::vector<std::string>& arguments) {
        Start(arguments);
        const auto status = run_.WaitForExit(kRunLimit);
        EXPECT_TRUE(status.has_value()) << "veldmoor-get did not end; its errors: " << Errors();
        return status.value_or(-1000);
    }
    std::string Output() const { return ReadText(dir_.File("out.txt")); }
    std::string Errors() const { return ReadText(dir_.File("err.txt")); }
    std::string Target() const { return dir_.File("download.bin"); }
    // Compared without printing 256 MiB on a failure.
    bool TargetHoldsLargeContent() const { return ReadText(Target()) == LargeContent(); }

    TempDir dir_;
    std::unique_ptr<FtpServer> ftp_;
    ProgramRun run_;

private:
    static TempDir* shared_;
    static std::string* largeContent_;
};

TempDir* FtpDownloadTest::shared_ = nullptr;
std::string* FtpDownloadTest::largeContent_ = nullptr;

TEST_F(FtpDownloadTest, AnAnonymousDownloadGetsTheWholeFileFromTheServersOwnAddress) {
    // Nothing listens on 127.0.0.9, the address the PASV replies name: only
    // data connections to the server the session talks to get the data.
    FtpServer& ftp = StartFtp(SharedRoot(), "", "", "127.0.0.9");
    EXPECT_EQ(RunToEnd({"-o", Target(), "--quiet", ftp.Url("/pub/large.bin")}), kExitComplete) << Errors();
    EXPECT_TRUE(TargetHoldsLargeContent());

    const std::string log = ftp.Log();
    EXPECT_NE(log.find("-> 227 Entering passive mode (127,0,0,9,"), std::string::npos) << log;
    EXPECT_NE(log.find("USER 'anonymous' logged in."), std::string::npos) << log;
    // Binary mode comes before the size: servers refuse SIZE in ASCII mode.
    EXPECT_LT(log.find("<- type i"), log.find("<- size large.bin")) << log;
    EXPECT_NE(log.find("<- rest 0"), std::string::npos) << log;
    EXPECT_NE(log.find("<- retr /pub/large.bin"), std::string::npos) << log;
}

TEST_F(FtpDownloadTest, ALoggedInMirrorCompletesAPartialFileFromItsFirstMissingByte) {
    constexpr int64_t kPieceLength = 262144;
    constexpr int64_t kPresent = 100 * 1024 * 1024;
    const std::string torrent = dir_.File("large.torrent");
    WriteFile(torrent, SingleFileTorrent("large.bin", LargeContent(), kPieceLength));
    WriteFile(Target(), LargeContent().substr(0, static_cast<size_t>(kPresent)));
    FtpServer& ftp = StartFtp(SharedRoot(), "mirror", "s3cret");

    EXPECT_EQ(RunToEnd({"-o", Target(), "-T", torrent, "--p2p", "off", "--quiet",
                        ftp.Url("/pub/large.bin", "mirror:s3cret@")}),
              kExitComplete)
        << Errors();
    EXPECT_TRUE(TargetHoldsLargeContent());
    const std::string log = ftp.Log();
    EXPECT_NE(log.find("USER 'mirror' logged in."), std::string::npos) << log;
    // Transfers start at block positions; none fetches what was already there.
    const std::vector<int64_t> starts = RestPositions(log);
    ASSERT_FALSE(starts.empty()) << log;
    EXPECT_EQ(*std::min_element(starts.begin(), starts.end()), kPresent) << log;
}

TEST_F(FtpDownloadTest, AnFtpAndAnHttpMirrorShareTheFile) {
    FtpServer& ftp = StartFtp(SharedRoot());
    NginxServer nginx;
    // The slow HTTP mirror makes the FTP source finish its share first and
    // take work from the far end of the other range: a jump.
    ASSERT_NE(nginx.Start(SharedRoot(), dir_.File("nginx"), "limit_rate 4m;"), 0) << "nginx did not start";

    EXPECT_EQ(RunToEnd({"-o", Target(), "--quiet", ftp.Url("/pub/large.bin"), nginx.Url("/pub/large.bin")}),
              kExitComplete)
        << Errors();
    EXPECT_TRUE(TargetHoldsLargeContent());
    EXPECT_TRUE(ftp.Logged("<- retr /pub/large.bin")) << ftp.Log();
    EXPECT_NE(ReadText(nginx.AccessLog()).find("/pub/large.bin 20"), std::string::npos) << ReadText(nginx.AccessLog());
    // A block far ahead of the stream ends the transfer and asks again with
    // PASV and REST at the block's position.
    const std::vector<int64_t> starts = RestPositions(ftp.Log());
    ASSERT_GE(starts.size(), 2u) << ftp.Log();
    EXPECT_TRUE(std::any_of(starts.begin() + 1, starts.end(),
                            [](int64_t start) { return start > 0 && start % 16384 == 0; }))
        << ftp.Log();
}

TEST_F(FtpDownloadTest, ARefusedPasswordDropsTheSourceAndTheRunEndsAsSourcesFailed) {
    WriteFile(dir_.File("www/pub/file.bin"), PatternBytes(1000));
    FtpServer& ftp = StartFtp(dir_.File("www"), "mirror", "s3cret");
    EXPECT_EQ(RunToEnd({"-o", Target(), "--quiet", ftp.Url("/pub/file.bin", "mirror:wrong@")}), kExitSourcesFailed)
        << Errors();
    EXPECT_NE(Errors().find("veldmoor-get: every source failed (20214)"), std::string::npos) << Errors();
    EXPECT_TRUE(ftp.Logged("-> 530 ")) << ftp.Log();
    EXPECT_FALSE(ftp.Logged("<- size")) << ftp.Log();
    EXPECT_FALSE(platform::FileExists(Target()));
}

TEST_F(FtpDownloadTest, AMirrorFileOfAnotherSizeIsRefusedAndNeverWritten) {
    constexpr int64_t kPieceLength = 32768;
    const std::string content = PatternBytes(3 * kPieceLength + 1000, 3);
    const std::string torrent = dir_.File("game.torrent");
    WriteFile(torrent, SingleFileTorrent("game.exe", content, kPieceLength));
    // The mirror's file is one byte longer than the torrent's.
    WriteFile(dir_.File("www/pub/game.exe"), content + "x");
    FtpServer& ftp = StartFtp(dir_.File("www"));

    Start({"-o", Target(), "-T", torrent, "--p2p", "off", "--status-json", ftp.Url("/pub/game.exe")});
    const std::string sizeReply = "-> 213 " + std::to_string(content.size() + 1);
    // The session that learnt the size ends; later ones are refused the same way.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string log = ftp.Log();
            const size_t size = log.find(sizeReply);
            return size != std::string::npos && log.find("FTP session closed", size) != std::string::npos;
        },
        kRunLimit))
        << ftp.Log() << Errors();
    ASSERT_TRUE(run_.SendSignal(SIGINT));
    EXPECT_EQ(run_.WaitForExit(kRunLimit), kExitInterrupted) << Errors();

    EXPECT_FALSE(ftp.Logged("<- pasv")) << ftp.Log();
    EXPECT_FALSE(ftp.Logged("<- retr")) << ftp.Log();
    const std::string status = LastLine(Output());
    EXPECT_NE(status.find(R"("from_sources":0,"from_peers":0,"on_disk":0,)"), std::string::npos) << status;
    const std::string onDisk = ReadText(Target());
    EXPECT_EQ(onDisk.find_first_not_of('\0'), std::string::npos) << "no byte of the mirror's file was written";
}

// Both mirrors answer on [::1] only, named by IPv6 literals: the FTP session
// asks for EPSV on its IPv6 control connection, and the HTTP mirror is asked
// with the bracketed Host.
TEST_F(FtpDownloadTest, IpV6LiteralMirrorsServeTheFileOverEpsvAndHttp) {
    const std::string content = LargeContent().substr(0, 8 * 1024 * 1024);
    WriteFile(dir_.File("v6/pub/small.bin"), content);
    ftp_ = std::make_unique<FtpServer>();
    ftp_->UseIpv6Loopback();
    ASSERT_NE(ftp_->Start(dir_.File("v6"), dir_.File("ftp.log")), 0) << "the FTP server did not start on [::1]";
    NginxServer nginx;
    nginx.UseIpv6Loopback();
    ASSERT_NE(nginx.Start(dir_.File("v6"), dir_.File("nginx"), "limit_rate 2m;"), 0) << "nginx did not start on [::1]";

    EXPECT_EQ(RunToEnd({"-o", Target(), "--quiet", ftp_->Url("/pub/small.bin"), nginx.Url("/pub/small.bin")}),
              kExitComplete)
        << Errors();
    EXPECT_TRUE(ReadText(Target()) == content);
    EXPECT_TRUE(ftp_->Logged("<- epsv")) << ftp_->Log();
    EXPECT_FALSE(ftp_->Logged("<- pasv")) << ftp_->Log();
    EXPECT_TRUE(ftp_->Logged("<- retr /pub/small.bin")) << ftp_->Log();
    EXPECT_NE(ReadText(nginx.AccessLog()).find("/pub/small.bin 20"), std::string::npos) << ReadText(nginx.AccessLog());
}

}  // namespace
}  // namespace veldmoor::test
