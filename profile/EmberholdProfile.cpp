// The Emberhold installer's profile.
//
// The maker's hosts are not known to us: every host below ends in ".invalid"
// so that nothing resolves until the publisher fills in the real download,
// configuration, statistics and rendezvous servers. The installer's torrent
// is left empty as well: a torrent can only be made honestly from the real
// installer, which we do not have. Without one the controller's task has no
// piece hashes of its own and no trackers; the publisher adds the bencoded
// metainfo here (as raw bytes) when the installer is released.
#include "app/UserTexts.h"
#include "profile/BuiltInProfile.h"
#include "profile/ProfileDescription.h"

namespace veldmoor {
namespace {

constexpr const char* kInstallerUrl = "http://downloads.publisher.invalid/3710/31994/Emberhold_setup_0.122.13.20.exe";
constexpr const char* kInstallerFileName = "Emberhold_setup_0.122.13.20.exe";
constexpr const char* kResourceListUrl = "https://config.publisher.invalid/downloader/EHResourceList20141116.xml";

// The statistics upload's INI file; the batch URLs are the publisher's.
constexpr const char* kStatisticsConfig =
    "[SubmitEventDownload]\r\n"
    "SubmitUrl=http://stats.publisher.invalid/event\r\n"
    "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n"
    "SubmitDataKeyWord=MachId;Mac;OS\r\n"
    "[SubmitEventDownloadSeveral]\r\n"
    "SubmitUrl=http://stats.publisher.invalid/events\r\n"
    "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n"
    "SubmitDataKeyWord=MachId;Mac;OS\r\n";

ProductProfile MakeEmberhold() {
    ProductProfile profile;
    profile.name = "emberhold";
    profile.installerUrlBase64 = Base64Encode(kInstallerUrl);
    profile.installerFileNameBase64 = Base64Encode(kInstallerFileName);
    profile.resourceListUrlBase64 = Base64Encode(kResourceListUrl);
    profile.expectedMd5 = "8254da9cec9275c60eec44c768215e4f";
    profile.expectedSize = 2047664128;
    profile.versionText = "版本：0.122.13.20";
    profile.gameVersion = "v0.122.13.20";
    profile.gameId = "772";
    profile.channel = "1";
    profile.caption = QT_TRANSLATE_NOOP("UserTexts", "Emberhold高速下载器");
    profile.vendorFolder = "ORVA";
    profile.productFolder = "Veldmoor";
    profile.saveFolderName = "EH1115";
    profile.statisticsConfigBase64 = Base64Encode(kStatisticsConfig);
    profile.installerTorrent = "";
    profile.natServerName = "nat.publisher.invalid";
    profile.resourceListCaFile = "";  // the system's CA store
    return profile;
}

}  // namespace

const ProductProfile& BuiltInProfile() {
    static const ProductProfile profile = MakeEmberhold();
    return profile;
}

}  // namespace veldmoor
