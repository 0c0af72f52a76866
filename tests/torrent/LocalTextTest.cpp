#include <gtest/gtest.h>

#include <string>

#include "tests/torrent/BencodeTestText.h"
#include "torrent/Bencode.h"

namespace veldmoor {
namespace {

using test::ParsedText;
using test::Printable;

const std::string kGbkChinese = "\xD6\xD0\xCE\xC4";       // 中文 in code page 936
const std::string kShiftJisJapan = "\x93\xFA\x96\x7B";    // 日本 in code page 932
const std::string kUtf8Chinese = "\xE4\xB8\xAD\xE6\x96\x87";
const std::string kUtf8Japan = "\xE6\x97\xA5\xE6\x9C\xAC";

TEST(LocalTextTest, LeavesConvertFromTheirCodePage) {
    struct Case {
        int codePage;
        std::string bytes;
        std::string local;
    };
    const Case cases[] = {
        {936, kGbkChinese, kUtf8Chinese},
        {932, kShiftJisJapan, kUtf8Japan},
        {936, "plain", "plain"},
        {12345, "plain", "plain"},  // printable ASCII is never converted
        {0, kGbkChinese, kGbkChinese},  // code page 0: the bytes as they are
        {936, "\xD6", ""},              // a truncated character fails the conversion
        {932, "\x93", ""},
        {12345, kGbkChinese, ""},       // an unknown code page fails it too
        {936, std::string("\0ab", 3), ""},
        {936, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.codePage) + " " + Printable(c.bytes));
        const std::string text = "l" + std::to_string(c.bytes.size()) + ":" + c.bytes + "e";
        ParsedText parsed(text);
        ASSERT_NE(parsed.root, nullptr);
        parsed.root->SetCodePage(c.codePage);
        const QElement* leaf = parsed.root->GetAt(0);
        ASSERT_NE(leaf, nullptr);
        EXPECT_EQ(leaf->GetLocalText(), c.local);
        EXPECT_EQ(leaf->GetText(""), c.bytes);  // the leaf's own text is never converted
    }
}

TEST(LocalTextTest, CodePageReachesEveryLeafBelowTheRoot) {
    const std::string text = "d4:infod4:name4:" + kGbkChinese + "5:filesl4:" + kShiftJisJapan + "eee";
    ParsedText parsed(text);
    ASSERT_NE(parsed.root, nullptr);
    const QElement* info = parsed.root->GetValue("info");
    ASSERT_NE(info, nullptr);
    const QElement* name = info->GetValue("name");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->GetLocalText(), kGbkChinese);

    parsed.root->SetCodePage(936);
    EXPECT_EQ(name->GetLocalText(), kUtf8Chinese);
    EXPECT_EQ(info->GetLocalText(), "");  // containers have no text of their own
    const QElement* file = info->GetValue("files")->GetAt(0);
    ASSERT_NE(file, nullptr);
    EXPECT_NE(file->GetLocalText(), kUtf8Japan);

    // A subtree can carry a code page of its own.
    info->GetValue("files")->SetCodePage(932);
    EXPECT_EQ(file->GetLocalText(), kUtf8Japan);
    EXPECT_EQ(name->GetLocalText(), kUtf8Chinese);
}

TEST(LocalTextTest, ContainerTextJoinsLocalTextsOfChildren) {
    ParsedText parsed("l2:ab4:" + kGbkChinese + "le2:cde");
    ASSERT_NE(parsed.root, nullptr);
    parsed.root->SetCodePage(936);
    EXPECT_EQ(parsed.root->GetText("|"), "ab|" + kUtf8Chinese + "||cd");
    QListElement unparsed;
    EXPECT_EQ(unparsed.GetText("|"), "");
}

}  // namespace
}  // namespace veldmoor
