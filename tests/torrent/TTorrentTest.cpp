#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/torrent/PieceMapTestSupport.h"
#include "torrent/QueryEscape.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"

namespace veldmoor {
namespace {

using test::Dict;
using test::FakeOwner;
using test::Integer;
using test::List;
using test::MapHolder;
using test::Text;

// SHA-1 of a file's bytes as python3's hashlib computes it.
std::string PythonSha1Hex(const std::string& path) {
    const std::string command =
        "python3 -c \"import hashlib,sys; print(hashlib.sha1(open(sys.argv[1],'rb').read()).hexdigest())\" '" + path +
        "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    char line[128] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    std::string text = read ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

class TTorrentTest : public ::testing::Test {
protected:
    void SetUp() override { owner.folder = dir.Path(); }

    // Loads `torrent` into a fresh map; the map (and so the torrent) lives for the test.
    TTorrent& Load(const std::string& torrent, bool expectLoaded = true) {
        bool loaded = false;
        map = std::make_unique<MapHolder>(test::LoadMap(owner, torrent, {}, &loaded));
        EXPECT_EQ(loaded, expectLoaded);
        return *(*map)->Torrent();
    }

    test::TempDir dir;
    FakeOwner owner;
    std::unique_ptr<MapHolder> map;
    const std::string content = test::Content(40000, 1);
};

TEST_F(TTorrentTest, InfoHashCoversTheInfoBytesAsWrittenNotACanonicalForm) {
    // Keys deliberately out of sorted order, as some torrent makers write them.
    const std::string hashes = test::PieceHashes(content, 16384);
    const std::string info = Dict({{"pieces", Text(hashes)},
                                   {"name", Text("setup.bin")},
                                   {"piece length", Integer(16384)},
                                   {"length", Integer(40000)}});
    const std::string canonical = Dict({{"length", Integer(40000)},
                                        {"name", Text("setup.bin")},
                                        {"piece length", Integer(16384)},
                                        {"pieces", Text(hashes)}});
    test::WriteFile(dir.File("info.raw"), info);
    test::WriteFile(dir.File("info.canonical"), canonical);
    const std::string expected = PythonSha1Hex(dir.File("info.raw"));
    ASSERT_EQ(expected.size(), 40u) << "python3 hashlib did not answer";
    ASSERT_NE(expected, PythonSha1Hex(dir.File("info.canonical")));

    TTorrent& torrent = Load(Dict({{"info", info}, {"announce", Text("http://t/a")}}));
    EXPECT_EQ(torrent.HexHash(), expected);
    EXPECT_EQ(torrent.EscapedHash(), EscapeQueryBytes(torrent.InfoHash()));
}

TEST_F(TTorrentTest, HashTextForms) {
    // Only ASCII letters and digits stay: trackers compare the texts.
    const uint8_t bytes[] = {0x2F, 'q', 'Z', '7', 0x00, 0xFF, '-', '.', '_', '~', ' ', '%', 0xAB, 0xE9};
    EXPECT_EQ(EscapeQueryBytes(bytes), "%2fqZ7%00%ff%2d%2e%5f%7e%20%25%ab%e9");
    Sha1Digest digest{};
    digest[0] = 0xAB;
    digest[19] = 0x01;
    TTorrent& torrent = Load(test::TorrentWithInfo(test::SingleFileInfo("a", content, 16384)));
    torrent.SetInfoHash(digest);
    EXPECT_EQ(torrent.HexHash(), "ab" + std::string(36, '0') + "01");
}

TEST_F(TTorrentTest, TrackerAddressCleanUp) {
    struct Case {
        const char* raw;
        const char* cleaned;
    };
    const Case cases[] = {
        {"  http://a/announce||", "http://a/announce"},
        {"xxudp://b:80", "udp://b:80"},
        {"HTTP://C/", "HTTP://C/"},
        {"|||", ""},
        {"ftp://x.org", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(CleanTrackerAddress(c.raw), c.cleaned) << c.raw;
}

TEST_F(TTorrentTest, TrackerListTakesAnnounceThenTheAnnounceListWalk) {
    const std::string announceList =
        List({List({Text("Tracker"), Text("http://b/ann")}), List({Text("Name"), Text("http://skipped/")}),
              List({Text("  http://a/announce||"), Dict({{"x", Text("udp://c:6969")}})}), Text("")});
    TTorrent& torrent = Load(Dict({{"announce", Text("  http://a/announce||")},
                                   {"announce-list", announceList},
                                   {"info", test::SingleFileInfo("f", content, 16384)}}));
    EXPECT_EQ(torrent.Announce(), "http://a/announce");
    // The same address in announce and announce-list stays twice; "x" is no address.
    const std::vector<std::string> expected = {"http://a/announce", "http://b/ann", "http://a/announce",
                                               "udp://c:6969"};
    EXPECT_EQ(torrent.Trackers(), expected);
}

TEST_F(TTorrentTest, DescriptiveTextsAndPublisherFallback) {
    std::string info = test::SingleFileInfo("f", content, 16384);
    info.insert(info.size() - 1, Text("publisher") + Text("Inner") + Text("publisher-url") + Text("http://p/"));
    TTorrent& torrent = Load(Dict({{"comment", Text("note")},
                                   {"creation date", Integer(1700000000)},
                                   {"info", info},
                                   {"publisher", Text("Outer")}}));
    EXPECT_EQ(torrent.Comment(), "note");
    EXPECT_EQ(torrent.CreationDate(), 1700000000);
    EXPECT_EQ(torrent.Publisher(), "Outer");
    EXPECT_EQ(torrent.PublisherUrl(), "http://p/");
}

TEST_F(TTorrentTest, EncodingNameSelectsTheCodePageOfTheTexts) {
    const std::string gbkComment = "\xD6\xD0\xCE\xC4";  // "中文" in GBK
    const std::string utf8Comment = "\xE4\xB8\xAD\xE6\x96\x87";
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> extra;
        int32_t codePage;
        std::string comment;
    };
    const std::vector<Case> cases = {
        {"encoding gbk", {{"encoding", Text("gbk")}}, 936, utf8Comment},
        {"codepage wins over encoding", {{"codepage", Integer(936)}, {"encoding", Text("BIG5")}}, 936, utf8Comment},
        {"unknown encoding converts nothing", {{"encoding", Text("latin-9")}}, 0, gbkComment},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::pair<std::string, std::string>> entries = c.extra;
        entries.insert(entries.begin(), {"comment", Text(gbkComment)});
        entries.push_back({"info", test::SingleFileInfo("f", content, 16384)});
        TTorrent& torrent = Load(Dict(entries));
        EXPECT_EQ(torrent.CodePage(), c.codePage);
        EXPECT_EQ(torrent.Comment(), c.comment);
    }
    EXPECT_EQ(CodePageForEncoding("Shift-JIS"), 932);
    EXPECT_EQ(CodePageForEncoding("kor"), 949);
    EXPECT_EQ(CodePageForEncoding("Big5"), 950);
}

TEST_F(TTorrentTest, RefusedMetainfoLeavesTheTorrentCleared) {
    const std::string good = test::SingleFileInfo("f", content, 16384);
    const std::vector<std::string> bad = {
        "l4:spame",                                                    // not a dictionary
        Dict({{"announce", Text("http://t/")}, {"info", Text("x")}}),  // info not a dictionary
        Dict({{"announce", Text("http://t/")}}),                       // no info
        "d8:announce",                                                 // cut short
    };
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        TTorrent& torrent = Load(text, false);
        EXPECT_FALSE(torrent.HasInfoHash());
        EXPECT_TRUE(torrent.Trackers().empty());
        EXPECT_TRUE(torrent.Announce().empty());
        EXPECT_FALSE((*map)->IsReady());
    }
}

TEST_F(TTorrentTest, LoadBracketsTheBuildWithRunStates) {
    Load(test::TorrentWithInfo(test::SingleFileInfo("f", content, 16384)));
    EXPECT_EQ(owner.runStates, (std::vector<int32_t>{3, 4}));
}

TEST_F(TTorrentTest, FileSources) {
    const std::string torrentPath = dir.File("good.torrent");
    test::WriteFile(torrentPath, test::TorrentWithInfo(test::SingleFileInfo("f", content, 16384)));
    test::WriteFile(dir.File("junk.torrent"), "<html>not bencode</html>");

    MapHolder holder(new TPieces(&owner));
    TTorrent& torrent = *holder->Torrent();

    EXPECT_FALSE(torrent.ParseFile("http://Kademlia/abcdef"));
    EXPECT_EQ(owner.statusCode, 0);
    EXPECT_FALSE(owner.stopRequested);

    EXPECT_FALSE(torrent.ParseFile("file://" + dir.File("junk.torrent")));
    EXPECT_EQ(owner.statusCode, 20211);
    EXPECT_TRUE(owner.stopRequested);

    owner.statusCode = 0;
    owner.stopRequested = false;
    EXPECT_FALSE(torrent.ParseFile("file://" + dir.File("missing.torrent")));
    EXPECT_EQ(owner.statusCode, 20211);

    torrent.SetSourceText("FILE://" + torrentPath);
    EXPECT_TRUE(torrent.Load());
    EXPECT_TRUE(holder->IsReady());
    EXPECT_EQ(holder->TotalLength(), 40000);
}

}  // namespace
}  // namespace veldmoor
