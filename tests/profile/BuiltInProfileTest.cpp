// The profile compiled into this build's programs.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "profile/BuiltInProfile.h"

namespace veldmoor {
namespace {

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

TEST(BuiltInProfileTest, CarriesTheProductOfTheBuild) {
    const ProductProfile& profile = BuiltInProfile();
    EXPECT_EQ(profile.name, VELDMOOR_PROFILE_NAME);
    const std::string fileName = Base64Decode(profile.installerFileNameBase64);
    const std::string url = Base64Decode(profile.installerUrlBase64);
    EXPECT_EQ(url.substr(url.size() - fileName.size() - 1), "/" + fileName);
    EXPECT_EQ(Base64Decode(profile.resourceListUrlBase64).rfind("https://", 0), 0u);
    EXPECT_EQ(profile.expectedMd5.size(), 32u);
    EXPECT_EQ(profile.expectedSize % 4096, 0u);
    EXPECT_FALSE(profile.statisticsConfigBase64.empty());
    if (profile.name == "emberhold") {
        EXPECT_EQ(fileName, "Emberhold_setup_0.122.13.20.exe");
        EXPECT_EQ(url, "http://downloads.publisher.invalid/3710/31994/Emberhold_setup_0.122.13.20.exe");
        EXPECT_EQ(Base64Decode(profile.resourceListUrlBase64),
                  "https://config.publisher.invalid/downloader/EHResourceList20141116.xml");
        EXPECT_EQ(profile.expectedMd5, "8254da9cec9275c60eec44c768215e4f");
        EXPECT_EQ(profile.expectedSize, 2047664128u);
        EXPECT_EQ(profile.versionText, "版本：0.122.13.20");
        EXPECT_EQ(profile.gameVersion, "v0.122.13.20");
        EXPECT_EQ(profile.gameId, "772");
        EXPECT_EQ(profile.channel, "1");
        EXPECT_EQ(profile.caption, "Emberhold高速下载器");
        EXPECT_EQ(profile.saveFolderName, "EH1115");
        EXPECT_TRUE(profile.installerTorrent.empty()) << "no honest torrent without the real installer";
        EXPECT_TRUE(profile.resourceListCaFile.empty()) << "the system's CA store";
        // The collector answers 404 to any other path: events would be lost unseen.
        EXPECT_NE(Base64Decode(profile.statisticsConfigBase64)
                      .find("[SubmitEventDownloadSeveral]\r\n"
                            "SubmitUrl=http://stats.publisher.invalid:8080/launchersubmit/eventListSubmit\r\n"),
                  std::string::npos);
    } else {
        // A release made from its installer carries the installer's torrent.
        EXPECT_EQ(profile.installerTorrent.rfind("d8:announce", 0), 0u);
        EXPECT_NE(Base64Decode(profile.statisticsConfigBase64).find("/launchersubmit/eventListSubmit\r\n"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace veldmoor
