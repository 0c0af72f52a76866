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
    uint32_t flags;
    std::string sourceText;
    std::string sourceList;
};

TEST(TaskSetupTest, TheTaskKindFollowsTorrentAndUrls) {
    constexpr uint32_t kFileTarget = kTaskTargetIsFile | kTaskSwitch20;
    const KindCase cases[] = {
        {"http", OptionsWith("", {"http://a/x", "ftp://b/x"}), kFileTarget, "", "http://a/x\nftp://b/x\n"},
        {"p2sp", OptionsWith("/t/game.torrent", {"http://a/x"}), kFileTarget | kTaskP2sp, "file:///t/game.torrent",
         "http://a/x\n"},
        {"bt", OptionsWith("rel/game.torrent", {}), kFileTarget | kTaskBitTorrent, "file://rel/game.torrent",
         "file://rel/game.torrent\n"},
    };
    for (const KindCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TaskFlagsFor(c.options), c.flags);
        EXPECT_EQ(SourceTextFor(c.options), c.sourceText);
        EXPECT_EQ(SourceListFor(c.options), c.sourceList);

        const std::string list = SourceListFor(c.options);
        TaskDescriptor descriptor;
        descriptor.flags = 0xFFFFFFFFu;  // nothing of an earlier use may stay
        FillTaskDescriptor(c.options, list, descriptor);
        EXPECT_EQ(descriptor.flags, c.flags);
        EXPECT_STREQ(descriptor.sourceText, c.sourceText.c_str());
        EXPECT_EQ(descriptor.sourceList, list.c_str());
        EXPECT_STREQ(descriptor.target, "/data/game.exe");
        EXPECT_STREQ(descriptor.stateFileBase, "/data/game.exe.vminfo");
        EXPECT_EQ(descriptor.handle, nullptr);
        EXPECT_EQ(descriptor.reserved[0] | descriptor.reserved[1], 0u);
    }
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
