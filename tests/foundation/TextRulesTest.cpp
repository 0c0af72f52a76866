#include <gtest/gtest.h>

#include <string>

#include "foundation/AsciiText.h"
#include "foundation/Utf8Text.h"

namespace veldmoor {
namespace {

TEST(Utf8TextTest, MeasuresWellFormedSequencesOnly) {
    const struct {
        std::string bytes;
        size_t length;
    } cases[] = {
        {"\xC3\xA9", 2},          // é
        {"\xE2\x82\xAC", 3},      // €
        {"\xF0\x9F\x98\x80", 4},  // an emoji past the basic plane
        {"A", 0},                 // ASCII is no multi-byte sequence
        {"\xC0\xAF", 0},          // overlong '/'
        {"\xE0\x80\xAF", 0},      // overlong in three bytes
        {"\xED\xA0\x80", 0},      // a surrogate
        {"\xF4\x90\x80\x80", 0},  // past U+10FFFF
        {"\xE2\x82", 0},          // cut short
        {"\xC3\x28", 0},          // continuation byte missing
        {"\x80", 0},              // a lone continuation byte
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8SequenceLength(c.bytes, 0), c.length) << c.bytes;
    // A sequence at the end of a longer text is measured where it stands.
    EXPECT_EQ(Utf8SequenceLength("ab\xC3\xA9", 2), 2u);
}

TEST(AsciiTextTest, TrimsOnlySpacesAndTabs) {
    EXPECT_EQ(TrimBlanks(" \t value \t"), "value");
    EXPECT_EQ(TrimBlanks("in side"), "in side");
    EXPECT_EQ(TrimBlanks(" \t "), "");
    EXPECT_EQ(TrimBlanks(""), "");
    // Line breaks are not blanks: a field carrying one stays visible to the checks after.
    EXPECT_EQ(TrimBlanks(" value\r"), "value\r");
}

}  // namespace
}  // namespace veldmoor
