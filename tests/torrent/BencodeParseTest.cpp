#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "tests/torrent/BencodeTestText.h"
#include "torrent/Bencode.h"

namespace veldmoor {
namespace {

using test::EncodeToString;
using test::ExactText;
using test::NestedLists;
using test::ParsedText;
using test::Printable;

TEST(BencodeParseTest, ParseElementAcceptsOrRefusesWholeTexts) {
    struct Case {
        std::string text;
        int kind;  // kElementInvalid: ParseElement refuses the text
        int size;
    };
    const Case cases[] = {
        {"de", kElementDictionary, 2},
        {"le", kElementList, 2},
        {"dee", kElementDictionary, 2},  // a valid prefix is taken
        {"3:abcxyz", kElementLeaf, 5},
        {"0:i5e", kElementLeaf, 5},
        {"l1:ai1e1:bi2ee", kElementList, 14},
        {"d6:lengthi42e4:name3:abce", kElementDictionary, 25},
        {"D1:A1:BE", kElementDictionary, 8},
        {"L1:aE", kElementList, 5},
        {"d1:ald1:b1:ceee", kElementDictionary, 15},
        {"3 :abc", kElementLeaf, 6},  // stray bytes before the colon are stepped over
        {"1:ai +7e", kElementLeaf, 8},
        {"", kElementInvalid, 0},
        {"x", kElementInvalid, 0},
        {"i5e", kElementInvalid, 0},  // an integer never stands alone
        {"d", kElementInvalid, 0},
        {"dx", kElementInvalid, 0},
        {"d3:abc", kElementInvalid, 0},
        {"d3:abc5:xye", kElementInvalid, 0},
        {"li1ei2ee", kElementInvalid, 0},
        {"d1:ai1Ee", kElementInvalid, 0},  // an integer ends in lower-case e only
        {"d1:ai1e", kElementInvalid, 0},
        {"l1:a", kElementInvalid, 0},
        {"ld", kElementInvalid, 0},
        {std::string("d1:a\0e", 6), kElementInvalid, 0},
        {"3abc", kElementInvalid, 0},
        {"3:ab", kElementInvalid, 0},
        {"1:ai5", kElementInvalid, 0},
        {"1:ai", kElementInvalid, 0},
        {"12", kElementInvalid, 0},
        {"3!!", kElementInvalid, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Printable(c.text));
        ParsedText parsed(c.text);
        if (c.kind == kElementInvalid) {
            EXPECT_EQ(parsed.root, nullptr);
            continue;
        }
        ASSERT_NE(parsed.root, nullptr);
        EXPECT_TRUE(parsed.root->IsValid());
        EXPECT_EQ(parsed.root->GetKind(), c.kind);
        EXPECT_EQ(parsed.root->GetParsedKind(), c.kind);
        EXPECT_EQ(parsed.root->GetSize(), c.size);
        EXPECT_EQ(parsed.root->GetSource(), parsed.input.Data());
    }
}

TEST(BencodeParseTest, ParseReportsWhyItFailed) {
    struct Case {
        std::function<std::unique_ptr<QElement>()> make;
        const char* what;
        std::string text;
        int result;
    };
    const auto leaf = [] { return std::make_unique<QIntegerElement>(); };
    const auto dictionary = [] { return std::make_unique<QDictionaryElement>(); };
    const auto list = [] { return std::make_unique<QListElement>(); };
    const Case cases[] = {
        {leaf, "leaf", "", 0},
        {leaf, "leaf", "x", 0},
        {leaf, "leaf", std::string("\0", 1), 0},
        {leaf, "leaf", "3abc", -1},
        {leaf, "leaf", "3", -1},
        {leaf, "leaf", "1:ai1Ee", -1},
        {leaf, "leaf", "1:ai5", -1},
        {leaf, "leaf", "5:xye", -3},
        {leaf, "leaf", "1:ai5e", 6},
        {dictionary, "dictionary", "d", 0},
        {dictionary, "dictionary", "", 0},
        {dictionary, "dictionary", "dx", -1},
        {dictionary, "dictionary", "d3:abc", -1},
        {dictionary, "dictionary", "d3:abc5:xye", -1},
        {dictionary, "dictionary", "di5ee", -1},
        {dictionary, "dictionary", "de", 2},
        {list, "list", "l3:abc", -1},
        {list, "list", "le", 2},
        // Without a bracket the whole text is the content.
        {list, "list", "1:a1:b", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + Printable(c.text));
        std::unique_ptr<QElement> element = c.make();
        ExactText input(c.text);
        EXPECT_EQ(element->Parse(input.Data(), input.Length()), c.result);
        EXPECT_EQ(element->IsValid(), c.result > 0);
    }
}

TEST(BencodeParseTest, StringAndFollowingIntegerFoldIntoOneLeaf) {
    ParsedText parsed("d6:lengthi42e4:name3:abc5:emptyi0ee");
    ASSERT_NE(parsed.root, nullptr);
    struct Leaf {
        const char* text;
        int64_t value;
        bool hasInteger;
    };
    const Leaf expected[] = {{"length", 42, true}, {"name", 0, false}, {"abc", 0, false}, {"empty", 0, true}};
    ASSERT_EQ(parsed.root->GetCount(), 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(expected[i].text);
        const QElement* child = parsed.root->GetAt(i);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(child->GetKind(), kElementLeaf);
        EXPECT_EQ(child->GetBytes(), expected[i].text);
        EXPECT_EQ(child->GetInteger(), expected[i].value);
        EXPECT_EQ(child->HasInteger(), expected[i].hasInteger);
        EXPECT_EQ(child->GetParent(), parsed.root.get());
    }

    ParsedText pairs("l1:ai1e1:bi2ee");
    ASSERT_NE(pairs.root, nullptr);
    ASSERT_EQ(pairs.root->GetCount(), 2);
    EXPECT_EQ(pairs.root->GetAt(0)->GetBytes(), "a");
    EXPECT_EQ(pairs.root->GetAt(0)->GetInteger(), 1);
    EXPECT_EQ(pairs.root->GetAt(1)->GetBytes(), "b");
    EXPECT_EQ(pairs.root->GetAt(1)->GetInteger(), 2);
}

TEST(BencodeParseTest, IntegerReadings) {
    struct Case {
        std::string text;
        int64_t value;
    };
    const Case cases[] = {
        {"1:ai0e", 0},
        {"1:ai-42e", -42},
        {"1:aI9e", 9},
        {"1:ai +7e", 7},
        {"1:ai\t-3e", -3},
        {"1:ai5-3e", 5},  // the leading number counts, the rest is ignored
        {"1:aie", 0},
        {"1:ai-e", 0},
        {"1:ai0000000000000000000000000000000000000000012e", 12},
        {"1:ai9223372036854775807e", INT64_MAX},
        {"1:ai-9223372036854775808e", INT64_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Printable(c.text));
        ParsedText parsed(c.text);
        ASSERT_NE(parsed.root, nullptr);
        EXPECT_EQ(parsed.root->GetInteger(), c.value);
        EXPECT_TRUE(parsed.root->HasInteger());
        EXPECT_EQ(parsed.root->GetSize(), static_cast<int>(c.text.size()));
    }
}

TEST(BencodeParseTest, NumbersThatOverflowAreRefused) {
    struct Case {
        std::string text;
        int result;
    };
    const Case cases[] = {
        {"2147483648:a", -3},
        {"4294967297:a", -3},  // would wrap to 1 in 32 bits
        {"99999999999999999999:a", -3},
        {"2147483647:abc", -3},
        {"1:ai9223372036854775808e", -1},
        {"1:ai-9223372036854775809e", -1},
        {"1:ai18446744073709551617e", -1},  // would wrap to 1 in 64 bits
        {"1:ai99999999999999999999999999999999999999e", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QIntegerElement leaf;
        ExactText input(c.text);
        EXPECT_EQ(leaf.Parse(input.Data(), input.Length()), c.result);
        EXPECT_FALSE(leaf.IsValid());
        ExactText inList("l" + c.text + "e");
        EXPECT_EQ(ParseElement(inList.Data(), inList.Length()), nullptr);
    }
}

TEST(BencodeParseTest, TheGivenLengthBoundsEveryScan) {
    // The bytes beyond the given length are well-formed, so only a parser
    // that reads past the length could accept these.
    const std::string text = "1:ai5e";
    EXPECT_EQ(ParseElement(text.data(), 4), nullptr);
    EXPECT_EQ(ParseElement(text.data(), 5), nullptr);
    const auto shortLeaf = ParseElement(text.data(), 3);
    ASSERT_NE(shortLeaf, nullptr);
    EXPECT_EQ(shortLeaf->GetSize(), 3);
    EXPECT_FALSE(shortLeaf->HasInteger());

    const std::string colonLater = "12345:abcde";
    EXPECT_EQ(ParseElement(colonLater.data(), 4), nullptr);
    const std::string dictionary = "d1:a1:bee";
    EXPECT_EQ(ParseElement(dictionary.data(), 7), nullptr);
    EXPECT_NE(ParseElement(dictionary.data(), 8), nullptr);
}

TEST(BencodeParseTest, NestingIsCappedAtSixtyFourContainers) {
    struct Case {
        std::string text;
        bool accepted;
    };
    const std::string deepDictionaries = std::string(64, 'd') + "1:a" + std::string(64, 'e');
    const Case cases[] = {
        {NestedLists(64), true},
        {NestedLists(64, "1:ai1e"), true},
        {deepDictionaries, true},
        {NestedLists(65), false},
        {"d1:a" + NestedLists(64) + "e", false},
        {NestedLists(100000), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size() > 80 ? c.text.substr(0, 40) + "..." : c.text);
        ParsedText parsed(c.text);
        EXPECT_EQ(parsed.root != nullptr, c.accepted);
        if (parsed.root) {
            EXPECT_EQ(parsed.root->GetSize(), static_cast<int>(c.text.size()));
            EXPECT_EQ(EncodeToString(parsed.root.get()), c.text);
        }
    }

    QListElement tooDeep;
    const std::string text = NestedLists(65);
    EXPECT_EQ(tooDeep.Parse(text.data(), static_cast<int>(text.size())), -1);
}

TEST(BencodeParseTest, ParsedSizeIsTheByteSpanInTheInput) {
    const std::string text = "d8:announce3:url4:infod6:lengthi5e4:name1:xe7:comment0:e";
    ParsedText parsed(text);
    ASSERT_NE(parsed.root, nullptr);
    const QElement* info = parsed.root->GetValue("info");
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->GetKind(), kElementDictionary);
    const std::string span = "d6:lengthi5e4:name1:xe";
    EXPECT_EQ(info->GetSource() - parsed.input.Data(), static_cast<std::ptrdiff_t>(text.find(span)));
    EXPECT_EQ(info->GetSize(), static_cast<int>(span.size()));
}

TEST(BencodeParseTest, WellFormedTextsEncodeBackByteForByte) {
    const std::string cases[] = {
        "de",
        "le",
        "0:",
        "0:i5e",
        "d6:lengthi0ee",
        "d1:ai-42ee",
        "l1:ai1e1:bi2ee",
        "d1:a1:b1:ci3ee",
        "d4:infod6:lengthi524288e4:name9:setup.exe12:piece lengthi524288eee",
        "d1:ald1:b1:cee1:x0:e",
        "l0:0:lelee",
        std::string("5:a\0b\0c", 7),
        "1:ai-9223372036854775808e",
        "d5:zebra1:a5:apple1:be",  // keys stay in text order
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(Printable(text));
        ParsedText parsed(text);
        ASSERT_NE(parsed.root, nullptr);
        EXPECT_EQ(parsed.root->GetSize(), static_cast<int>(text.size()));
        EXPECT_EQ(EncodedSize(parsed.root.get()), static_cast<int>(text.size()));
        EXPECT_EQ(EncodeToString(parsed.root.get()), text);
    }
}

TEST(BencodeParseTest, LenientTextsEncodeInCanonicalForm) {
    struct Case {
        std::string text;
        std::string encoded;
    };
    const Case cases[] = {
        {"D1:A1:BE", "d1:A1:Be"},
        {"L1:aLEE", "l1:alee"},
        {"3 :abc", "3:abc"},
        {"03:abc", "3:abc"},
        {"1:ai +7e", "1:ai7e"},
        {"1:aI-0e", "1:ai0e"},
        {"1:aie", "1:ai0e"},
        {"1:ai007e", "1:ai7e"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ParsedText parsed(c.text);
        ASSERT_NE(parsed.root, nullptr);
        EXPECT_EQ(EncodeToString(parsed.root.get()), c.encoded);
    }
}

}  // namespace
}  // namespace veldmoor
