// veldmoor-publish: a release file is checked field by field, and a release
// folder describes exactly the installer it was made from.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "profile/ProfileDescription.h"
#include "tests/support/TestSupport.h"
#include "tools/profile-builder/TorrentWriter.h"
#include "tools/veldmoor-publish/ReleaseFile.h"
#include "tools/veldmoor-publish/ReleaseFolder.h"
#include "torrent/Bencode.h"

namespace veldmoor::publish {
namespace {

using veldmoor::test::Md5OfFile;
using veldmoor::test::TempDir;

constexpr auto ReadFile = veldmoor::test::ReadFileBytes;
constexpr auto Sha1 = veldmoor::test::Sha1Digest;
constexpr auto Text = veldmoor::test::BencodedText;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

constexpr const char* kMirror1 = "http://127.0.0.1:8001/game/Game_setup.exe";
constexpr const char* kMirror2 = "http://mirror.example:8002/other/Game_setup.exe";
constexpr const char* kTracker = "http://127.0.0.1:6969/announce";

// A consistent release; each case below changes one line of it.
std::string ValidRelease(const std::string& installer) {
    return "[product]\nname = game\ncaption = Game\nversion-text = 1.0\ngame-version = v1.0\ngame-id = 5\n"
           "channel = 1\nsave-folder = Game\n"
           "[installer]\nfile = " + installer + "\n"
           "[download]\nmirror = " + kMirror1 + "\nmirror = " + kMirror2 + "\n"
           "resource-list = https://list.example/downloader/list.xml\nresource-list-ca = system\n"
           "tracker = " + kTracker + "\ntracker = udp://127.0.0.1:6969\n"
           "[statistics]\nhost = stats.example\n"
           "[nat]\nserver = nat.example\n"
           "[servers]\ntls-certificate = /etc/ssl/list.pem\ntls-key = /etc/ssl/list.key\n";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

struct RefusalCase {
    const char* what;
    std::string from;
    std::string to;
    const char* problem;  // the start of the message, naming the field
};

TEST(PublishTest, AnInconsistentReleaseIsRefusedNamingTheField) {
    TempDir folder;
    const std::string installer = folder.File("Game_setup.exe");
    WriteFile(installer, "installer");
    WriteFile(folder.File("x.exe"), "x");
    const std::string valid = ValidRelease(installer);
    std::vector<std::string> problems;
    ASSERT_TRUE(ParseRelease(valid, "game.ini", "", problems)) << (problems.empty() ? "" : problems.front());

    const RefusalCase cases[] = {
        {"a mirror that is not http or ftp", kMirror2, "gopher://mirror.example/Game_setup.exe",
         "[download] mirror 2: must be http:// or ftp://"},
        {"an https mirror the client cannot fetch", kMirror1, "https://127.0.0.1/game/Game_setup.exe",
         "[download] mirror 1: https mirrors cannot be used"},
        {"a mirror of another file", kMirror2, "http://mirror.example/Other.exe", "[download] mirror 2: serves Other.exe"},
        {"no mirror at all", std::string("mirror = ") + kMirror1 + "\nmirror = " + kMirror2 + "\n", "",
         "[download] mirror: the mirror list is empty"},
        {"a statistics URL off the collector's path", "host = stats.example", "url = http://stats.example:8080/event",
         "[statistics] url: must end in the collector's path /launchersubmit/eventListSubmit"},
        {"no certificate for the HTTPS resource list", "tls-certificate = /etc/ssl/list.pem\n", "",
         "[servers] tls-certificate: missing"},
        {"a resource list over plain http", "https://list.example", "http://list.example",
         "[download] resource-list: must be https://"},
        {"an ftp tracker", "udp://127.0.0.1:6969", "ftp://127.0.0.1:6969", "[download] tracker 2: must be http://"},
        {"a CA policy that is neither system nor a path", "resource-list-ca = system", "resource-list-ca = ca.pem",
         "[download] resource-list-ca:"},
        {"a NAT server given as a URL", "server = nat.example", "server = udp://nat.example:82", "[nat] server:"},
        {"a mistyped key", "game-id = 5", "gameid = 5", "[product] gameid: unknown key"},
        {"a caption given twice", "caption = Game\n", "caption = Game\ncaption = Other\n", "[product] caption: given 2 times"},
        {"no installer and no MD5", "file = " + installer, "file =", "[installer] file: must be given"},
        {"an installer named unlike the mirrors' file", "file = " + installer, "file = " + folder.File("x.exe"),
         "[installer] file: is named x.exe"},
    };
    for (const RefusalCase& refusal : cases) {
        SCOPED_TRACE(refusal.what);
        problems.clear();
        EXPECT_FALSE(ParseRelease(Replace(valid, refusal.from, refusal.to), "game.ini", "", problems));
        ASSERT_FALSE(problems.empty());
        bool named = false;
        for (const std::string& problem : problems) named = named || problem.rfind(refusal.problem, 0) == 0;
        EXPECT_TRUE(named) << "first problem: " << problems.front();
    }
}

TEST(PublishTest, StatisticsHostBecomesTheCollectorsTwoUrls) {
    TempDir folder;
    const std::string installer = folder.File("Game_setup.exe");
    WriteFile(installer, "installer");
    std::vector<std::string> problems;
    auto release = ParseRelease(ValidRelease(installer), "game.ini", "", problems);
    ASSERT_TRUE(release);
    EXPECT_EQ(release->statisticsListUrl, "http://stats.example:8080/launchersubmit/eventListSubmit");
    EXPECT_EQ(release->statisticsEventUrl, "http://stats.example:8080/launchersubmit/eventInfoSubmit");
    release = ParseRelease(Replace(ValidRelease(installer), "host = stats.example",
                                   "url = https://stats.example/launchersubmit/eventListSubmit"),
                           "game.ini", "", problems);
    ASSERT_TRUE(release);
    EXPECT_EQ(release->statisticsEventUrl, "https://stats.example/launchersubmit/eventInfoSubmit");
}

TEST(PublishTest, PieceLengthStaysHalfAMebibyteUpToFourGibibytes) {
    constexpr uint64_t kGiB = 1ull << 30;
    const std::pair<uint64_t, uint32_t> table[] = {
        {1, 512u << 10},           {2 * kGiB, 512u << 10},        {4 * kGiB, 512u << 10},
        {4 * kGiB + 1, 1u << 20},  {100 * kGiB, 16u << 20},       {4096 * kGiB, 64u << 20},
    };
    for (const auto& [size, length] : table) EXPECT_EQ(profilebuilder::PieceLengthForSize(size), length) << size;
}

TEST(PublishTest, ReleaseFolderDescribesTheInstallerAndMovesWithItsTorrent) {
    TempDir work;
    // Three pieces and a short one: a read chunk boundary never lines up with the file.
    std::string bytes;
    for (uint64_t i = 0; bytes.size() < 3 * 512 * 1024 + 777; ++i) bytes += std::to_string(i * 2654435761u) + ",";
    bytes.resize(3 * 512 * 1024 + 777);
    const std::string installer = work.File("Game_setup.exe");
    WriteFile(installer, bytes);
    std::vector<std::string> problems;
    const auto release = ParseRelease(ValidRelease(installer), work.File("game.ini"), "", problems);
    ASSERT_TRUE(release);

    PublishedRelease published;
    std::string error;
    uint64_t lastProgress = 0;
    ASSERT_TRUE(PublishRelease(*release, work.File("out"), [&](uint64_t done, uint64_t) { lastProgress = done; },
                               published, error))
        << error;
    EXPECT_EQ(lastProgress, bytes.size());
    EXPECT_EQ(published.profile.expectedMd5, Md5OfFile(installer));
    EXPECT_EQ(published.profile.expectedSize, (bytes.size() + 4095) / 4096 * 4096);

    const std::string torrent = ReadFile(work.File("out/Game_setup.exe.torrent"));
    auto root = ParseElement(torrent.data(), static_cast<int>(torrent.size()));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetSize(), static_cast<int>(torrent.size()));
    EXPECT_EQ(torrent.rfind("d" + Text("announce") + Text(kTracker) + Text("announce-list") + "ll" + Text(kTracker) +
                                "el" + Text("udp://127.0.0.1:6969") + "ee",
                            0),
              0u);
    EXPECT_NE(torrent.find(Text("url-list") + "l" + Text(kMirror1) + Text(kMirror2) + "e"), std::string::npos);
    std::string pieces;
    for (size_t at = 0; at < bytes.size(); at += 512 * 1024) pieces += Sha1(bytes.substr(at, 512 * 1024));
    EXPECT_NE(torrent.find(Text("pieces") + Text(pieces)), std::string::npos);
    EXPECT_EQ(ReadFile(work.File("out/servers/opentracker.whitelist")), published.infoHashHex + "\n");

    const std::string list = ReadFile(work.File("out/www/downloader/list.xml"));
    EXPECT_NE(list.find("Task=\"" + std::string(kMirror1) + "\""), std::string::npos);
    EXPECT_NE(list.find("MiddleDir=\"/other/\" FileName=\"Game_setup.exe\" HostName=\"mirror.example\" "
                        "Open=\"true\">\n      <IP>mirror.example:8002</IP>"),
              std::string::npos);
    EXPECT_NE(list.find("Task=\"P2PSwitch\" Open=\"true\""), std::string::npos);

    // The folder goes from the publisher's machine to the build machine.
    std::filesystem::rename(work.File("out"), work.File("moved"));
    const auto loaded = LoadProfileDescription(work.File("moved/profile.txt"), error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->installerTorrent, torrent);
    EXPECT_EQ(loaded->expectedMd5, published.profile.expectedMd5);
    EXPECT_EQ(loaded->natServerName, "nat.example");
}

TEST(PublishTest, AnInstallerThatDisagreesWithTheReleaseFileIsRefused) {
    TempDir work;
    const std::string installer = work.File("Game_setup.exe");
    WriteFile(installer, "the installer");
    std::vector<std::string> problems;
    const auto release = ParseRelease(
        Replace(ValidRelease(installer), "[download]", "md5 = 00000000000000000000000000000000\n[download]"),
        work.File("game.ini"), "", problems);
    ASSERT_TRUE(release);
    PublishedRelease published;
    std::string error;
    EXPECT_FALSE(PublishRelease(*release, work.File("out"), nullptr, published, error));
    EXPECT_EQ(error.rfind("[installer] md5: the release file says 00000000000000000000000000000000", 0), 0u) << error;
    EXPECT_FALSE(std::filesystem::exists(work.File("out/profile.txt")));
}

}  // namespace
}  // namespace veldmoor::publish
