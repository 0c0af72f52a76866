#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace veldmoor::platform {
namespace {

struct Conversion {
    int codePage;
    std::string bytes;
    std::string utf8;
};

TEST(CodePageTest, ConvertsTheEastAsianCodePagesToUtf8) {
    const Conversion cases[] = {
        {936, "\xD6\xD0\xCE\xC4", "中文"},
        {950, "\xA4\xA4\xA4\xE5", "中文"},
        {949, "\xC7\xD1\xB1\xDB", "한글"},
        {932, "\x93\xFA\x96\x7B", "日本"},
        {936, "plain ascii", "plain ascii"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codePage);
        const auto converted = ConvertToSystemCodePage(c.codePage, c.bytes);
        ASSERT_TRUE(converted.has_value());
        EXPECT_EQ(*converted, c.utf8);
    }
}

TEST(CodePageTest, RefusesTruncatedBytesAndUnknownCodePages) {
    EXPECT_FALSE(ConvertToSystemCodePage(936, "\xD6\xD0\xCE").has_value());  // half a character
    EXPECT_FALSE(ConvertToSystemCodePage(12345, "abc").has_value());
}

}  // namespace
}  // namespace veldmoor::platform
