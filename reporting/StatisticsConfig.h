#pragma once
// The statistics configuration: an INI file naming the batch URLs and the
// keywords every event must carry.
#include <optional>
#include <string>
#include <vector>

namespace veldmoor::reporting {

// Read-only INI text with the usual profile-file rules: section and key names
// compare without regard to case, the first occurrence wins, values are
// trimmed and lose one pair of enclosing quotes.
class IniText {
public:
    explicit IniText(const std::string& text);
    // Nothing when the section or key is missing.
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;

private:
    struct Entry {
        std::string section, key, value;
    };
    std::vector<Entry> entries_;
};

class StatisticsConfig {
public:
    static constexpr size_t kKeywordTextLimit = 255;
    static constexpr size_t kFileLimit = 64 * 1024;

    // Nothing when the file is missing, unreadable or larger than kFileLimit.
    static std::optional<StatisticsConfig> Load(const std::string& path);
    explicit StatisticsConfig(const std::string& text) : ini_(text) {}

    std::vector<std::string> InputKeywords() const;
    std::vector<std::string> SubmitKeywords() const;
    // "SubmitUrl", "SubmitUrl1", ... up to the first missing or empty one.
    std::vector<std::string> BatchUrls() const;

private:
    std::vector<std::string> Keywords(const char* key) const;

    IniText ini_;
};

}  // namespace veldmoor::reporting
