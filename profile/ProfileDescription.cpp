#include "profile/ProfileDescription.h"

#include <openssl/evp.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace veldmoor {
namespace {

struct TextField {
    const char* key;
    std::string ProductProfile::*member;
};

// Every text field of the profile, in the order a description lists them.
const std::vector<TextField>& TextFields() {
    static const std::vector<TextField> fields = {
        {"name", &ProductProfile::name},
        {"installerUrlBase64", &ProductProfile::installerUrlBase64},
        {"installerFileNameBase64", &ProductProfile::installerFileNameBase64},
        {"resourceListUrlBase64", &ProductProfile::resourceListUrlBase64},
        {"expectedMd5", &ProductProfile::expectedMd5},
        {"versionText", &ProductProfile::versionText},
        {"gameVersion", &ProductProfile::gameVersion},
        {"gameId", &ProductProfile::gameId},
        {"channel", &ProductProfile::channel},
        {"caption", &ProductProfile::caption},
        {"vendorFolder", &ProductProfile::vendorFolder},
        {"productFolder", &ProductProfile::productFolder},
        {"saveFolderName", &ProductProfile::saveFolderName},
        {"statisticsConfigBase64", &ProductProfile::statisticsConfigBase64},
        {"natServerName", &ProductProfile::natServerName},
        {"resourceListCaFile", &ProductProfile::resourceListCaFile},
    };
    return fields;
}

constexpr const char* kSizeKey = "expectedSize";
constexpr const char* kTorrentKey = "installerTorrentFile";

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream text;
    text << file.rdbuf();
    bytes = text.str();
    return !file.bad();
}

bool ParseSize(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return false;
        value = value * 10 + static_cast<uint64_t>(digit - '0');
    }
    return true;
}

// A relative torrent path names a file beside the description, so a release
// folder can be moved from the publisher's machine to the build machine.
std::string BesideDescription(const std::string& descriptionPath, const std::string& path) {
    if (path.front() == '/') return path;
    const size_t slash = descriptionPath.rfind('/');
    return slash == std::string::npos ? path : descriptionPath.substr(0, slash + 1) + path;
}

}  // namespace

std::string DescribeProfile(const ProductProfile& profile, const std::string& torrentPath) {
    std::string text;
    for (const auto& field : TextFields()) text += std::string(field.key) + "=" + profile.*field.member + "\n";
    text += std::string(kSizeKey) + "=" + std::to_string(profile.expectedSize) + "\n";
    text += std::string(kTorrentKey) + "=" + torrentPath + "\n";
    return text;
}

std::optional<ProductProfile> LoadProfileDescription(const std::string& path, std::string& error) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        error = "cannot read the profile description " + path;
        return std::nullopt;
    }
    ProductProfile profile;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = path + ":" + std::to_string(number) + ": no '=' in the line";
            return std::nullopt;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        bool known = false;
        for (const auto& field : TextFields()) {
            if (key != field.key) continue;
            profile.*field.member = value;
            known = true;
        }
        if (key == kSizeKey) {
            known = ParseSize(value, profile.expectedSize);
        } else if (key == kTorrentKey) {
            known = value.empty() || ReadWholeFile(BesideDescription(path, value), profile.installerTorrent);
        }
        if (!known) {
            error = path + ":" + std::to_string(number) + ": unknown key or bad value: " + key;
            return std::nullopt;
        }
    }
    return profile;
}

std::string Base64Encode(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace veldmoor
