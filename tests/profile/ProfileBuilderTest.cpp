// The product-profile builder: the demo installer is the same on every build,
// its MD5 and torrent describe exactly the file written, and a profile
// survives the trip through its description and its generated source.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <fstream>
#include <sstream>

#include "profile/ProfileDescription.h"
#include "tests/support/TestSupport.h"
#include "tools/profile-builder/DemoProduct.h"
#include "tools/profile-builder/ProfileSource.h"
#include "torrent/Bencode.h"
#include "torrent/QMultiElement.h"

namespace veldmoor::profilebuilder {
namespace {

using veldmoor::test::Md5OfFile;
using veldmoor::test::TempDir;

constexpr auto ReadFile = veldmoor::test::ReadFileBytes;
constexpr auto Sha1 = veldmoor::test::Sha1Digest;

std::string Base64Decode(const std::string& text) {
    std::string bytes(text.size(), '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) return "<invalid>";
    const size_t padding = text.size() - text.find_last_not_of('=') - 1;
    bytes.resize(static_cast<size_t>(length) - padding);
    return bytes;
}

DemoProductOptions SmallOptions(const std::string& folder, uint64_t size) {
    DemoProductOptions options;
    options.outputFolder = folder;
    options.installerSize = size;
    options.installerUrl = "http://127.0.0.1:1/demo/Demo_setup.run";
    options.resourceListUrl = "https://127.0.0.1:2/list.xml";
    options.announceUrl = "http://127.0.0.1:3/announce";
    options.caFile = "/tmp/ca.pem";
    options.statisticsUrl = "http://127.0.0.1:4/events";
    options.natServerName = "127.0.0.1";
    return options;
}

TEST(ProfileBuilderTest, SameInputsMakeTheSameInstallerAndTorrent) {
    TempDir first, second;
    DemoProduct a, b;
    std::string error;
    ASSERT_TRUE(BuildDemoProduct(SmallOptions(first.Path(), 3 << 20), a, error)) << error;
    ASSERT_TRUE(BuildDemoProduct(SmallOptions(second.Path(), 3 << 20), b, error)) << error;
    EXPECT_EQ(ReadFile(a.installerPath), ReadFile(b.installerPath));
    EXPECT_EQ(ReadFile(a.torrentPath), ReadFile(b.torrentPath));
    EXPECT_EQ(ReadFile(first.File("BuiltInProfile.cpp")), ReadFile(second.File("BuiltInProfile.cpp")));
    // Another size is another installer, not a prefix that could pass for it.
    TempDir third;
    DemoProduct c;
    ASSERT_TRUE(BuildDemoProduct(SmallOptions(third.Path(), (3 << 20) + 100), c, error)) << error;
    EXPECT_NE(a.profile.expectedMd5, c.profile.expectedMd5);
}

// Sizes around piece boundaries: the last piece may be short or a single byte.
class ProfileBuilderSizeTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ProfileBuilderSizeTest, Md5SizeAndPieceHashesDescribeTheFileWritten) {
    const uint64_t size = GetParam();
    TempDir folder;
    DemoProduct product;
    std::string error;
    ASSERT_TRUE(BuildDemoProduct(SmallOptions(folder.Path(), size), product, error)) << error;
    const std::string installer = ReadFile(product.installerPath);
    ASSERT_EQ(installer.size(), size);
    EXPECT_EQ(product.profile.expectedMd5, Md5OfFile(product.installerPath));
    EXPECT_EQ(product.profile.expectedSize, (size + 4095) / 4096 * 4096);
    EXPECT_EQ(installer.rfind("#!/bin/sh\n", 0), 0u);

    const std::string torrent = ReadFile(product.torrentPath);
    EXPECT_EQ(product.profile.installerTorrent, torrent);
    auto root = ParseElement(torrent.data(), static_cast<int>(torrent.size()));
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->GetSize(), static_cast<int>(torrent.size()));
    auto* dictionary = dynamic_cast<QDictionaryElement*>(root.get());
    ASSERT_NE(dictionary, nullptr);

    // The pieces text is the SHA-1 of each 512 KiB piece of the file.
    std::string expectedPieces;
    for (size_t at = 0; at < installer.size(); at += kDemoPieceLength)
        expectedPieces += Sha1(installer.substr(at, kDemoPieceLength));
    const std::string pieceKey = "6:pieces" + std::to_string(expectedPieces.size()) + ":";
    const size_t piecesAt = torrent.find(pieceKey);
    ASSERT_NE(piecesAt, std::string::npos);
    EXPECT_EQ(torrent.substr(piecesAt + pieceKey.size(), expectedPieces.size()), expectedPieces);
    EXPECT_NE(torrent.find("6:lengthi" + std::to_string(size) + "e"), std::string::npos);
    EXPECT_NE(torrent.find("12:piece lengthi524288e"), std::string::npos);
    EXPECT_NE(torrent.find("8:announce27:http://127.0.0.1:3/announce"), std::string::npos);
    EXPECT_NE(torrent.find("4:name14:Demo_setup.run"), std::string::npos);

    // The info hash is the SHA-1 of the info dictionary as it stands in the text.
    const size_t infoAt = torrent.find("4:info") + 6;
    const std::string info = torrent.substr(infoAt, torrent.size() - 1 - infoAt);
    std::string hex;
    for (const unsigned char byte : Sha1(info)) {
        static const char* kDigits = "0123456789abcdef";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    EXPECT_EQ(product.infoHashHex, hex);
    EXPECT_EQ(ReadFile(folder.File("infohash.txt")), hex + "\n");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ProfileBuilderSizeTest,
                         ::testing::Values(uint64_t{1024}, uint64_t{kDemoPieceLength}, uint64_t{kDemoPieceLength + 1},
                                           uint64_t{3 * kDemoPieceLength - 7}));

TEST(ProfileBuilderTest, TheDemoInstallerRunsAndExitsZero) {
    TempDir folder;
    DemoProduct product;
    std::string error;
    ASSERT_TRUE(BuildDemoProduct(SmallOptions(folder.Path(), 1 << 20), product, error)) << error;
    const std::string mark = folder.File("mark");
    const std::string command = "VELDMOOR_DEMO_MARK='" + mark + "' '" + product.installerPath + "' > '" +
                                folder.File("out") + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadFile(mark), "ran " + product.installerPath + "\n");
    const std::string output = ReadFile(folder.File("out"));
    EXPECT_NE(output.find("Veldmoor demo installer 0.1.0.0"), std::string::npos) << output;
    EXPECT_NE(output.find("MD5 of this file: " + product.profile.expectedMd5), std::string::npos) << output;
}

TEST(ProfileBuilderTest, RefusesWhatCannotMakeAnInstaller) {
    TempDir folder;
    DemoProduct product;
    std::string error;
    auto tooSmall = SmallOptions(folder.Path(), 10);
    EXPECT_FALSE(BuildDemoProduct(tooSmall, product, error));
    EXPECT_NE(error.find("at least"), std::string::npos) << error;
    auto noName = SmallOptions(folder.Path(), 1 << 20);
    noName.installerUrl = "http://127.0.0.1:1/";
    EXPECT_FALSE(BuildDemoProduct(noName, product, error));
    EXPECT_NE(error.find("file name"), std::string::npos) << error;
}

TEST(ProfileBuilderTest, DescriptionKeepsEveryValueAndTheBase64TextsDecode) {
    TempDir folder;
    DemoProduct product;
    std::string error;
    ASSERT_TRUE(BuildDemoProduct(SmallOptions(folder.Path(), 1 << 20), product, error)) << error;
    auto loaded = LoadProfileDescription(product.descriptionPath, error);
    ASSERT_TRUE(loaded.has_value()) << error;
    const ProductProfile& want = product.profile;
    EXPECT_EQ(loaded->name, "demo");
    EXPECT_EQ(loaded->installerUrlBase64, want.installerUrlBase64);
    EXPECT_EQ(loaded->installerFileNameBase64, want.installerFileNameBase64);
    EXPECT_EQ(loaded->resourceListUrlBase64, want.resourceListUrlBase64);
    EXPECT_EQ(loaded->expectedMd5, want.expectedMd5);
    EXPECT_EQ(loaded->expectedSize, want.expectedSize);
    EXPECT_EQ(loaded->versionText, "版本：0.1.0.0");
    EXPECT_EQ(loaded->caption, want.caption);
    EXPECT_EQ(loaded->statisticsConfigBase64, want.statisticsConfigBase64);
    EXPECT_EQ(loaded->installerTorrent, want.installerTorrent);
    EXPECT_EQ(loaded->resourceListCaFile, "/tmp/ca.pem");
    EXPECT_EQ(Base64Decode(loaded->installerUrlBase64), "http://127.0.0.1:1/demo/Demo_setup.run");
    EXPECT_EQ(Base64Decode(loaded->installerFileNameBase64), "Demo_setup.run");
    EXPECT_EQ(Base64Decode(loaded->resourceListUrlBase64), "https://127.0.0.1:2/list.xml");
    EXPECT_NE(Base64Decode(loaded->statisticsConfigBase64).find("SubmitUrl=http://127.0.0.1:4/events\r\n"),
              std::string::npos);
}

TEST(ProfileBuilderTest, DescriptionWithAnUnknownKeyOrNoEqualsIsRefused) {
    TempDir folder;
    std::string error;
    for (const std::string text : {"name=demo\nsurprise=1\n", "name demo\n", "expectedSize=12x\n"}) {
        std::ofstream(folder.File("bad.txt"), std::ios::trunc) << text;
        EXPECT_FALSE(LoadProfileDescription(folder.File("bad.txt"), error).has_value()) << text;
    }
    EXPECT_FALSE(LoadProfileDescription(folder.File("missing.txt"), error).has_value());
}

// The generated source must keep bytes a literal could swallow: zero bytes,
// quotes, backslashes, escapes followed by digits, question marks, UTF-8.
TEST(ProfileBuilderTest, CppLiteralKeepsEveryByte) {
    std::string bytes("a\0" "1\"\\?\n\x7f\xff" "7", 10);
    bytes += "版本";
    const std::string literal = CppStringLiteral(bytes);
    EXPECT_EQ(literal, "std::string(\"a\\0001\\\"\\\\\\077\\012\\177\\3777\\347\\211\\210\\346\\234\\254\", 16)");
}

}  // namespace
}  // namespace veldmoor::profilebuilder
