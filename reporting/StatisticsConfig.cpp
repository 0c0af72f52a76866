#include "reporting/StatisticsConfig.h"

#include <algorithm>
#include <cctype>

#include "platform/Files.h"

namespace veldmoor::reporting {
namespace {

constexpr const char* kSingleSection = "SubmitEventDownload";
constexpr const char* kBatchSection = "SubmitEventDownloadSeveral";
constexpr size_t kMaxBatchUrls = 100;

std::string Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

IniText::IniText(const std::string& text) {
    std::string section;
    size_t position = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(std::string_view(text).substr(position, end - position));
        position = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close != std::string::npos) section = Lower(Trim(std::string_view(line).substr(1, close - 1)));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string value = Trim(std::string_view(line).substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        entries_.push_back({section, Lower(Trim(std::string_view(line).substr(0, equals))), value});
    }
}

std::optional<std::string> IniText::Value(const std::string& section, const std::string& key) const {
    const std::string wantedSection = Lower(section);
    const std::string wantedKey = Lower(key);
    for (const Entry& entry : entries_) {
        if (entry.section == wantedSection && entry.key == wantedKey) return entry.value;
    }
    return std::nullopt;
}

std::optional<StatisticsConfig> StatisticsConfig::Load(const std::string& path) {
    const auto size = platform::FileSize(path);
    if (!size || *size > kFileLimit) return std::nullopt;
    const auto text = platform::ReadWholeFile(path);
    if (!text) return std::nullopt;
    return StatisticsConfig(*text);
}

std::vector<std::string> StatisticsConfig::Keywords(const char* key) const {
    std::string text = ini_.Value(kSingleSection, key).value_or("");
    if (text.size() > kKeywordTextLimit) text.resize(kKeywordTextLimit);
    std::vector<std::string> keywords;
    size_t position = 0;
    while (position <= text.size()) {
        size_t end = text.find(';', position);
        if (end == std::string::npos) end = text.size();
        if (end > position) keywords.push_back(text.substr(position, end - position));
        position = end + 1;
    }
    return keywords;
}

std::vector<std::string> StatisticsConfig::InputKeywords() const { return Keywords("InputDataKeyWord"); }
std::vector<std::string> StatisticsConfig::SubmitKeywords() const { return Keywords("SubmitDataKeyWord"); }

std::vector<std::string> StatisticsConfig::BatchUrls() const {
    std::vector<std::string> urls;
    for (size_t index = 0; index < kMaxBatchUrls; ++index) {
        const std::string key = index == 0 ? "SubmitUrl" : "SubmitUrl" + std::to_string(index);
        const auto url = ini_.Value(kBatchSection, key);
        if (!url || url->empty()) break;
        urls.push_back(*url);
    }
    return urls;
}

}  // namespace veldmoor::reporting
