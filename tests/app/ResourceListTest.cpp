#include "app/ResourceList.h"

#include <gtest/gtest.h>

#include "app/BuiltInValues.h"

namespace veldmoor {
namespace {

const std::string kInstaller = "http://dl.example/3710/setup.exe";

std::string Project(const std::string& cdns, const std::string& task = kInstaller) {
    return "<project ID=\"1\" Task=\"" + task + "\">" + cdns + "</project>";
}

std::string Document(const std::string& projects) { return "<ResourceList>" + projects + "</ResourceList>"; }

TEST(ResourceList, MirrorsOfOpenCdnsInOrder) {
    const std::string doc = Document(Project(
        "<cdn ID=\"1\" Name=\"a\" MiddleDir=\"/m/\" FileName=\"f.exe\" HostName=\"cdn.a\" Open=\"true\">"
        "<IP>10.0.0.1</IP><IP>10.0.0.2:8080</IP></cdn>"
        "<cdn ID=\"2\" Name=\"b\" MiddleDir=\"/n/\" FileName=\"g.exe\" Open=\"true\"><IP>10.0.0.3</IP><IP>h</IP></cdn>"
        "<cdn ID=\"3\" Name=\"c\" MiddleDir=\"/c/\" FileName=\"x.exe\" Open=\"false\"><IP>10.0.0.9</IP></cdn>"));
    const ResourceList list = ParseResourceList(doc, kInstaller, false);
    ASSERT_EQ(list.mirrors.size(), 4u);
    EXPECT_EQ(list.mirrors[0].url, "http://10.0.0.1/m/f.exe");
    EXPECT_EQ(list.mirrors[0].hostName, "cdn.a");
    EXPECT_EQ(list.mirrors[1].url, "http://10.0.0.2:8080/m/f.exe");
    EXPECT_EQ(list.mirrors[2].url, "http://10.0.0.3/n/g.exe");
    EXPECT_EQ(list.mirrors[2].hostName, "null") << "no HostName";
    EXPECT_FALSE(list.peerToPeer.has_value());
}

TEST(ResourceList, AttributeWalkRules) {
    const struct {
        const char* name;
        std::string cdn;
        size_t mirrors;
        const char* firstUrl;
    } cases[] = {
        {"Open before MiddleDir ignores it", "<cdn ID=\"1\" Name=\"a\" FileName=\"f\" Open=\"true\" MiddleDir=\"/m/\"><IP>h</IP></cdn>", 1,
         "http://hf"},
        {"empty ID ends the walk", "<cdn ID=\"\" Name=\"a\" Open=\"true\"><IP>h</IP></cdn>", 0, ""},
        {"empty Name ends the walk", "<cdn ID=\"1\" Name=\"\" Open=\"true\"><IP>h</IP></cdn>", 0, ""},
        {"empty MiddleDir ends the walk", "<cdn ID=\"1\" Name=\"a\" MiddleDir=\"\" Open=\"true\"><IP>h</IP></cdn>", 0, ""},
        {"Open other than true", "<cdn ID=\"1\" Name=\"a\" Open=\"TRUE\"><IP>h</IP></cdn>", 0, ""},
        {"IP walk stops at another element", "<cdn ID=\"1\" Name=\"a\" Open=\"true\"><IP>h</IP><X/><IP>k</IP></cdn>", 1,
         "http://h"},
        {"a line break cannot add a source", "<cdn ID=\"1\" Name=\"a\" Open=\"true\"><IP>h\nhttp://evil/</IP></cdn>", 0, ""},
    };
    for (const auto& c : cases) {
        const ResourceList list = ParseResourceList(Document(Project(c.cdn)), kInstaller, false);
        ASSERT_EQ(list.mirrors.size(), c.mirrors) << c.name;
        if (c.mirrors) {
            EXPECT_EQ(list.mirrors[0].url, c.firstUrl) << c.name;
        }
    }
}

TEST(ResourceList, ProjectsAndSwitch) {
    const std::string open = "<cdn ID=\"1\" Name=\"a\" Open=\"true\"><IP>h</IP></cdn>";
    EXPECT_TRUE(ParseResourceList(Document(Project(open, "http://other/setup.exe")), kInstaller, false).mirrors.empty());
    EXPECT_TRUE(ParseResourceList(Document(Project(open)), kInstaller, true).mirrors.empty()) << "complete";
    EXPECT_TRUE(ParseResourceList("<Other>" + Project(open) + "</Other>", kInstaller, false).mirrors.empty());
    EXPECT_TRUE(ParseResourceList("<ResourceList><project", kInstaller, false).mirrors.empty()) << "malformed";
    EXPECT_TRUE(ParseResourceList(Document("<x/>" + Project(open)), kInstaller, false).mirrors.empty())
        << "the project walk stops at the first other element";

    const auto p2p = [](const std::string& attributes) {
        return ParseResourceList(Document("<project ID=\"9\" Task=\"P2PSwitch\" " + attributes + "/>"), kInstaller, false)
            .peerToPeer;
    };
    EXPECT_EQ(p2p("Open=\"true\""), std::optional<bool>(true));
    EXPECT_EQ(p2p("Open=\"false\""), std::optional<bool>(false));
    EXPECT_EQ(p2p("Open=\"TRUE\""), std::optional<bool>(false));
    EXPECT_EQ(p2p("Other=\"1\" Open=\"true\""), std::nullopt) << "Open must follow Task";
    EXPECT_EQ(p2p(""), std::nullopt);
}

TEST(BuiltInValues, Base64DecodingRules) {
    EXPECT_EQ(DecodeBuiltInBase64("aGVsbG8="), "hello");
    EXPECT_EQ(DecodeBuiltInBase64("aGVsbG8h"), "hello!");
    EXPECT_EQ(DecodeBuiltInBase64("aGVsbA=="), "hell");
    EXPECT_EQ(DecodeBuiltInBase64("aGVsbG8"), "") << "length not a multiple of 4";
    EXPECT_EQ(DecodeBuiltInBase64("aGV*bG8="), "") << "outside the alphabet";
    EXPECT_EQ(DecodeBuiltInBase64("YQBi"), "a") << "ends at the first zero byte";
    EXPECT_EQ(DecodeBuiltInBase64(std::string(8000, 'Q')).size(), 4096u);
}

}  // namespace
}  // namespace veldmoor
