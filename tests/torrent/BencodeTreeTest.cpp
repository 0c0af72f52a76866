#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "tests/torrent/BencodeTestText.h"
#include "torrent/Bencode.h"

namespace veldmoor {
namespace {

using test::EncodeToString;
using test::ParsedText;

// Appends a parsed root to `container`, handing ownership over.
QElement* AppendParsed(QElement& container, const std::string& text) {
    std::unique_ptr<QElement> element = ParseElement(text.data(), static_cast<int>(text.size()));
    if (!element) return nullptr;
    QElement* appended = container.Append(element.get());
    if (appended) element.release();
    return appended;
}

TEST(BencodeTreeTest, GetValueFollowsTheFoldingRule) {
    struct Case {
        const char* text;
        const char* key;
        const char* valueBytes;  // nullptr: no value
        int valueKind;
        int64_t valueInteger;
    };
    const Case cases[] = {
        {"d1:a1:b1:ci3ee", "a", "b", kElementLeaf, 0},
        {"d1:a1:b1:ci3ee", "b", nullptr, 0, 0},  // a value is never taken for a key
        {"d1:a1:b1:ci3ee", "c", "c", kElementLeaf, 3},
        {"d1:a1:ci3ee", "a", nullptr, 0, 0},  // the next element is a key with its integer
        {"d6:lengthi0ee", "length", "length", kElementLeaf, 0},
        {"d1:a1:b1:ce", "c", nullptr, 0, 0},  // a key at the end has no value
        {"d1:x1:a1:ad1:ki1eee", "a", "", kElementDictionary, 0},
        {"d1:x1:a1:ale1:bi2ee", "a", "", kElementList, 0},
        {"d1:x1:a1:ale1:bi2ee", "b", "b", kElementLeaf, 2},
        {"d1:a1:b1:ci3ee", "A", nullptr, 0, 0},  // keys match case-sensitively
        {"d1:a1:b1:ci3ee", "missing", nullptr, 0, 0},
        {"de", "a", nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " key " + c.key);
        ParsedText parsed(c.text);
        ASSERT_NE(parsed.root, nullptr);
        const QElement* value = parsed.root->GetValue(c.key);
        if (!c.valueBytes) {
            EXPECT_EQ(value, nullptr);
            continue;
        }
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->GetKind(), c.valueKind);
        EXPECT_EQ(value->GetBytes(), c.valueBytes);
        EXPECT_EQ(value->GetInteger(), c.valueInteger);
    }
}

TEST(BencodeTreeTest, GetValueHonoursAnExplicitKeyLength) {
    ParsedText parsed("d2:ab1:x1:a1:ye");
    ASSERT_NE(parsed.root, nullptr);
    ASSERT_NE(parsed.root->GetValue("abc", 1), nullptr);
    EXPECT_EQ(parsed.root->GetValue("abc", 1)->GetBytes(), "y");
    ASSERT_NE(parsed.root->GetValue("abc", 2), nullptr);
    EXPECT_EQ(parsed.root->GetValue("abc", 2)->GetBytes(), "x");
    EXPECT_EQ(parsed.root->GetValue("abc"), nullptr);
    EXPECT_EQ(parsed.root->GetValue(nullptr), nullptr);
}

TEST(BencodeTreeTest, FindTextMatchesKeysAndValuesIgnoringCase) {
    ParsedText parsed("d8:announce12:http://a/ann7:comment4:Note4:infod4:name1:xee");
    ASSERT_NE(parsed.root, nullptr);
    QElement* key = parsed.root->FindText("ANNOUNCE");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->GetBytes(), "announce");
    ASSERT_NE(key->NextSibling(), nullptr);
    EXPECT_EQ(key->NextSibling()->GetBytes(), "http://a/ann");
    EXPECT_EQ(parsed.root->GetValue("ANNOUNCE"), nullptr);

    const QElement* value = parsed.root->FindText("note");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->GetBytes(), "Note");
    ASSERT_NE(parsed.root->FindText("INFOrmation", 4), nullptr);
    EXPECT_EQ(parsed.root->FindText("INFOrmation", 4)->GetBytes(), "info");
    EXPECT_EQ(parsed.root->FindText("name"), nullptr);  // only direct children
    EXPECT_EQ(parsed.root->FindText("announc"), nullptr);
    EXPECT_EQ(parsed.root->FindText(nullptr), nullptr);
}

TEST(BencodeTreeTest, ChildWalks) {
    ParsedText parsed("l1:a1:b1:ce");
    ParsedText other("l1:ae");
    ASSERT_NE(parsed.root, nullptr);
    ASSERT_NE(other.root, nullptr);
    QElement* a = parsed.root->GetAt(0);
    QElement* b = parsed.root->GetAt(1);
    QElement* c = parsed.root->GetAt(2);
    EXPECT_EQ(parsed.root->GetAt(3), nullptr);
    EXPECT_EQ(parsed.root->GetAt(-1), nullptr);
    EXPECT_EQ(parsed.root->NextChild(a), b);
    EXPECT_EQ(parsed.root->NextChild(c), nullptr);
    EXPECT_EQ(parsed.root->PrevChild(b), a);
    EXPECT_EQ(parsed.root->PrevChild(a), nullptr);
    EXPECT_EQ(parsed.root->NextChild(other.root->GetAt(0)), nullptr);
    EXPECT_EQ(parsed.root->NextChild(nullptr), nullptr);
    EXPECT_EQ(b->NextSibling(), c);
    EXPECT_EQ(c->NextSibling(), nullptr);
    EXPECT_EQ(parsed.root->NextSibling(), nullptr);
    EXPECT_EQ(a->NextChild(a), nullptr);  // a leaf has no children
    EXPECT_EQ(a->GetCount(), 0);
}

TEST(BencodeTreeTest, AnUnparsedElementAnswersWithEmptyResults) {
    QIntegerElement leaf;
    QDictionaryElement dictionary;
    for (const QElement* element : {static_cast<const QElement*>(&leaf), static_cast<const QElement*>(&dictionary)}) {
        EXPECT_FALSE(element->IsValid());
        EXPECT_EQ(element->GetParsedKind(), kElementInvalid);
        EXPECT_STREQ(element->GetData(), "");
        EXPECT_EQ(element->GetLength(), -1);
        EXPECT_EQ(element->GetSize(), 0);
        EXPECT_EQ(element->GetSource(), nullptr);
        EXPECT_EQ(element->GetCount(), 0);
        EXPECT_EQ(element->GetValue("a"), nullptr);
        EXPECT_EQ(EncodedSize(element), 0);
    }
    EXPECT_EQ(leaf.GetKind(), kElementLeaf);
    EXPECT_EQ(dictionary.GetKind(), kElementDictionary);
    QByteBuffer buffer;
    buffer.Append("kept");
    EXPECT_FALSE(Encode(&dictionary, buffer));
    EXPECT_FALSE(Encode(nullptr, buffer));
    EXPECT_EQ(buffer.GetView(), "kept");
}

TEST(BencodeTreeTest, AppendTextBuildsLeavesWithTheirEncodedSize) {
    struct Case {
        const char* data;
        int length;
        int64_t value;
        bool hasInteger;
        const char* encoded;  // nullptr: refused
    };
    const Case cases[] = {
        {"", 0, 0, false, "0:"},
        {"", -1, 0, false, "0:"},
        {"", 0, 5, false, nullptr},
        {"", 0, 0, true, nullptr},
        {nullptr, 0, 0, false, nullptr},
        {"abc", -1, 0, false, "3:abc"},
        {"abcdef", 2, 0, false, "2:ab"},
        {"x", -1, 0, true, "1:xi0e"},
        {"x", -1, 0, false, "1:x"},
        {"x", -1, -42, false, "1:xi-42e"},
        {"x", -1, 10, true, "1:xi10e"},
        {"0123456789", -1, INT64_MIN, true, "10:0123456789i-9223372036854775808e"},
        {"x", -1, INT64_MAX, true, "1:xi9223372036854775807e"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.data ? c.data : "(null)") + " " + std::to_string(c.value));
        std::unique_ptr<QElement> root = NewDictionary();
        ASSERT_NE(root, nullptr);
        const QElement* leaf = root->AppendText(c.data, c.length, c.value, c.hasInteger);
        if (!c.encoded) {
            EXPECT_EQ(leaf, nullptr);
            EXPECT_EQ(root->GetCount(), 0);
            EXPECT_EQ(root->GetSize(), 2);
            continue;
        }
        ASSERT_NE(leaf, nullptr);
        const std::string encoded = c.encoded;
        EXPECT_EQ(EncodeToString(leaf), encoded);
        EXPECT_EQ(leaf->GetSize(), static_cast<int>(encoded.size()));
        EXPECT_EQ(root->GetSize(), static_cast<int>(encoded.size()) + 2);
        EXPECT_EQ(EncodeToString(root.get()), "d" + encoded + "e");
    }
}

TEST(BencodeTreeTest, BuildingATreeKeepsOrderAndSizes) {
    std::unique_ptr<QElement> root = NewDictionary();
    ASSERT_NE(root, nullptr);
    ASSERT_NE(root->AppendText("seeds", -1), nullptr);
    ASSERT_NE(root->AppendText("7", -1), nullptr);
    ASSERT_NE(root->InsertTextAt(0, "bits", -1), nullptr);
    ASSERT_NE(root->InsertTextAt(1, "0101", -1), nullptr);
    ASSERT_NE(root->InsertTextAt(-5, "a", -1, 1, true), nullptr);   // clamped to the front
    ASSERT_NE(root->InsertTextAt(99, "z", -1, 2, true), nullptr);   // clamped to the end
    const std::string expected = "d1:ai1e4:bits4:01015:seeds1:71:zi2ee";
    EXPECT_EQ(root->GetCount(), 6);
    EXPECT_EQ(root->GetSize(), static_cast<int>(expected.size()));
    EXPECT_EQ(EncodedSize(root.get()), static_cast<int>(expected.size()));
    EXPECT_EQ(EncodeToString(root.get()), expected);
    ASSERT_NE(root->GetValue("bits"), nullptr);
    EXPECT_EQ(root->GetValue("bits")->GetBytes(), "0101");
    EXPECT_EQ(root->GetValue("z")->GetInteger(), 2);

    // The encoding reads back as the same tree.
    ParsedText reread(EncodeToString(root.get()));
    ASSERT_NE(reread.root, nullptr);
    EXPECT_EQ(EncodeToString(reread.root.get()), expected);
}

TEST(BencodeTreeTest, EditsDeepInsideATreeStillEncodeCorrectly) {
    ParsedText parsed("d4:listle1:ki1ee");
    ASSERT_NE(parsed.root, nullptr);
    const int rootSizeBefore = parsed.root->GetSize();
    QElement* list = parsed.root->GetValue("list");
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->AppendText("deep", -1), nullptr);
    ASSERT_NE(AppendParsed(*list, "d1:xi9ee"), nullptr);
    // Only the direct container's size field follows the edit.
    EXPECT_EQ(list->GetSize(), 2 + 6 + 8);
    EXPECT_EQ(parsed.root->GetSize(), rootSizeBefore);
    const std::string expected = "d4:listl4:deepd1:xi9eee1:ki1ee";
    EXPECT_EQ(EncodedSize(parsed.root.get()), static_cast<int>(expected.size()));
    EXPECT_EQ(EncodeToString(parsed.root.get()), expected);
}

TEST(BencodeTreeTest, AppendMovesAnElementBetweenContainers) {
    ParsedText from("l1:a2:bbe");
    ParsedText to("le");
    ASSERT_NE(from.root, nullptr);
    ASSERT_NE(to.root, nullptr);
    QElement* moved = from.root->GetAt(0);
    ASSERT_EQ(to.root->Append(moved), moved);
    EXPECT_EQ(moved->GetParent(), to.root.get());
    EXPECT_EQ(from.root->GetCount(), 1);
    EXPECT_EQ(to.root->GetCount(), 1);
    EXPECT_EQ(from.root->GetSize(), 9 - 3);
    EXPECT_EQ(to.root->GetSize(), 2 + 3);
    EXPECT_EQ(EncodeToString(from.root.get()), "l2:bbe");
    EXPECT_EQ(EncodeToString(to.root.get()), "l1:ae");

    // Within one container, InsertAt moves the child to its new place.
    ParsedText order("l1:a1:b1:ce");
    ASSERT_NE(order.root, nullptr);
    QElement* last = order.root->GetAt(2);
    ASSERT_EQ(order.root->InsertAt(0, last), last);
    EXPECT_EQ(order.root->GetCount(), 3);
    EXPECT_EQ(EncodeToString(order.root.get()), "l1:c1:a1:be");
    EXPECT_EQ(order.root->GetSize(), 11);
}

TEST(BencodeTreeTest, AppendRefusesWhatWouldBreakTheTree) {
    ParsedText parsed("d1:ald1:xi1eeee");
    ASSERT_NE(parsed.root, nullptr);
    QElement* list = parsed.root->GetValue("a");
    ASSERT_NE(list, nullptr);
    QElement* inner = list->GetAt(0);
    ASSERT_NE(inner, nullptr);
    QListElement unparsed;

    EXPECT_EQ(list->Append(nullptr), nullptr);
    EXPECT_EQ(list->Append(&unparsed), nullptr);
    EXPECT_EQ(list->Append(list), nullptr);
    EXPECT_EQ(inner->Append(parsed.root.get()), nullptr);
    EXPECT_EQ(inner->InsertAt(0, list), nullptr);
    EXPECT_EQ(inner->GetAt(0)->Append(inner), nullptr);  // a leaf holds nothing
    EXPECT_EQ(EncodeToString(parsed.root.get()), "d1:ald1:xi1eeee");
    EXPECT_EQ(parsed.root->GetParent(), nullptr);
}

TEST(BencodeTreeTest, DeleteAndDetachRemoveOnlyOwnChildren) {
    ParsedText parsed("l1:a1:b1:c1:de");
    ParsedText other("l1:xe");
    ASSERT_NE(parsed.root, nullptr);
    ASSERT_NE(other.root, nullptr);
    QElement& root = *parsed.root;

    EXPECT_FALSE(root.Delete(other.root->GetAt(0)));
    EXPECT_FALSE(root.Delete(nullptr));
    EXPECT_FALSE(root.DeleteAt(4));
    EXPECT_FALSE(root.Detach(other.root->GetAt(0)));
    EXPECT_FALSE(root.GetAt(0)->Delete(root.GetAt(1)));  // a leaf owns nothing

    ASSERT_TRUE(root.DeleteAt(1));
    EXPECT_EQ(EncodeToString(&root), "l1:a1:c1:de");
    EXPECT_EQ(root.GetSize(), 11);

    QElement* detached = root.GetAt(0);
    ASSERT_TRUE(root.Detach(detached));
    std::unique_ptr<QElement> owned(detached);
    EXPECT_EQ(owned->GetParent(), nullptr);
    EXPECT_EQ(EncodeToString(owned.get()), "1:a");
    EXPECT_FALSE(root.Detach(detached));
    QElement* next = root.GetAt(0);
    ASSERT_TRUE(root.DetachAt(0));
    std::unique_ptr<QElement> ownedNext(next);
    EXPECT_EQ(EncodeToString(ownedNext.get()), "1:c");
    EXPECT_EQ(EncodeToString(&root), "l1:de");
    EXPECT_EQ(root.GetSize(), 5);
    EXPECT_EQ(EncodeToString(other.root.get()), "l1:xe");
}

TEST(BencodeTreeTest, DestroyingOrResettingAChildRemovesItFromItsParent) {
    ParsedText parsed("d1:a1:b1:cl1:xee");
    ASSERT_NE(parsed.root, nullptr);
    QElement& root = *parsed.root;

    delete root.GetAt(1);
    EXPECT_EQ(root.GetCount(), 3);
    EXPECT_EQ(EncodeToString(&root), "d1:a1:cl1:xee");

    QElement* list = root.GetAt(2);
    list->Reset();
    std::unique_ptr<QElement> owned(list);  // a reset child is the caller's
    EXPECT_EQ(owned->GetParent(), nullptr);
    EXPECT_EQ(owned->GetCount(), 0);
    EXPECT_EQ(owned->GetKind(), kElementList);
    EXPECT_EQ(EncodeToString(&root), "d1:a1:ce");
}

TEST(BencodeTreeTest, DeleteAllEmptiesTheContainer) {
    ParsedText parsed("d1:ai1e1:bl1:xee");
    ASSERT_NE(parsed.root, nullptr);
    EXPECT_TRUE(parsed.root->DeleteAll());
    EXPECT_EQ(parsed.root->GetCount(), 0);
    EXPECT_EQ(parsed.root->GetSize(), 2);
    EXPECT_EQ(EncodeToString(parsed.root.get()), "de");
    EXPECT_NE(parsed.root->AppendText("k", -1, 3), nullptr);
    EXPECT_EQ(EncodeToString(parsed.root.get()), "d1:ki3ee");
    QIntegerElement leaf;
    EXPECT_FALSE(leaf.DeleteAll());
}

TEST(BencodeTreeTest, EncodeAppendsAndReservesRoom) {
    ParsedText parsed("d1:ai1ee");
    ASSERT_NE(parsed.root, nullptr);
    QByteBuffer buffer;
    buffer.Append("head");
    ASSERT_TRUE(Encode(parsed.root.get(), buffer));
    EXPECT_EQ(buffer.GetView(), "headd1:ai1ee");
    // The whole encoding plus 1024 spare bytes are reserved up front.
    EXPECT_GE(buffer.GetFree(), 1024u);
    EXPECT_EQ(buffer.GetData()[buffer.GetLength()], '\0');
}

}  // namespace
}  // namespace veldmoor
