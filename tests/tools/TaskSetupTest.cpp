#include <gtest/gtest.h>

#include <string>

#include "tools/veldmoor-get/TaskSetup.h"

namespace veldmoor {
namespace {

GetOptions OptionsWith(std::string torrent, std::vector<std::string> urls) {
    GetOptions options;
    options.output = "/data/game.exe";
    options.stateFile = "/data/game.exe.vminfo";
    options.torrent = std::move(torrent);
    options.urls = std::move(urls);
    return options;
}

struct KindCase {
    const char* name;
    GetOptions options;
    TaskKind kind;
    std::string torrentSource;
    std::vector<std::string> sources;
};

TEST(TaskSetupTest, TheTaskKindFollowsTorrentAndUrls) {
    const KindCase cases[] = {
        {"http", OptionsWith("", {"http://a/x", "ftp://b/x"}), TaskKind::Http, "", {"http://a/x", "ftp://b/x"}},
        {"p2sp", OptionsWith("/t/game.torrent", {"http://a/x"}), TaskKind::P2sp, "file:///t/game.torrent",
         {"http://a/x"}},
        {"bt", OptionsWith("rel/game.torrent", {}), TaskKind::BitTorrent, "file://rel/game.torrent",
         {"file://rel/game.torrent"}},
    };
    for (const KindCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TaskSpec spec = TaskSpecFor(c.options);
        EXPECT_EQ(spec.kind, c.kind);
        EXPECT_EQ(spec.torrentSource, c.torrentSource);
        EXPECT_EQ(spec.sources, c.sources);
        EXPECT_EQ(spec.target, "/data/game.exe");
        EXPECT_TRUE(spec.targetIsFile);
        EXPECT_EQ(spec.stateFile, "/data/game.exe.vminfo");
    }
}

TEST(TaskSetupTest, MirrorsKeepTheirHostNamesInOrder) {
    GetOptions options = OptionsWith("", {"http://a/x"});
    options.mirrors = {{"http://m1/x", "cdn.example"}, {"http://m2/x", "null"}};
    const std::vector<Mirror> mirrors = MirrorsFor(options);
    ASSERT_EQ(mirrors.size(), 2u);
    EXPECT_EQ(mirrors[0].address, "http://m1/x");
    EXPECT_EQ(mirrors[0].hostName, "cdn.example");
    EXPECT_EQ(mirrors[1].address, "http://m2/x");
    EXPECT_EQ(mirrors[1].hostName, "null");
}

TEST(TaskSetupTest, ProxySettingsCarryKindHostAndCredentials) {
    ProxyOption option;
    option.kind = kProxyKindSocks5;
    option.host = "proxy.example";
    option.port = 1080;
    option.userName = "bob";
    option.password = "pw";
    option.remoteResolve = true;
    const ProxySettings settings = ProxySettingsFor(option);
    EXPECT_EQ(settings.kind, kProxyKindSocks5);
    EXPECT_STREQ(settings.host, "proxy.example");
    EXPECT_EQ(settings.port, 1080);
    EXPECT_STREQ(settings.userName, "bob");
    EXPECT_STREQ(settings.password, "pw");
    EXPECT_TRUE(settings.remoteResolve);
}

}  // namespace
}  // namespace veldmoor
