#include "app/IniFile.h"

#include <cctype>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/Files.h"

namespace veldmoor {
namespace {

// Writes read, change and replace the whole file; two threads writing at once
// would lose one of the changes.
std::mutex& IniWriteLock() {
    static std::mutex lock;
    return lock;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

bool IsKeyLine(std::string_view line, std::string_view key, std::string_view* value) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    if (!SameName(Trim(line.substr(0, equals)), key)) return false;
    if (value) *value = Trim(line.substr(equals + 1));
    return true;
}

}  // namespace

std::string IniTextRead(const std::string& text, const std::string& section, const std::string& key,
                        bool* found) {
    bool inSection = false;
    for (std::string_view line : Lines(text)) {
        if (auto name = SectionOf(line)) {
            inSection = SameName(*name, section);
            continue;
        }
        std::string_view value;
        if (inSection && IsKeyLine(line, key, &value)) {
            if (found) *found = true;
            // A value in matching quotes loses them, as the platform's reader does.
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return std::string(value);
        }
    }
    if (found) *found = false;
    return {};
}

std::string IniTextWrite(const std::string& text, const std::string& section, const std::string& key,
                         const std::string& value) {
    const std::vector<std::string_view> lines = Lines(text);
    std::string out;
    const std::string entry = key + "=" + value + "\r\n";
    bool inSection = false, written = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (auto name = SectionOf(line)) {
            if (inSection && !written) {
                out += entry;
                written = true;
            }
            inSection = SameName(*name, section);
        } else if (inSection && !written && IsKeyLine(line, key, nullptr)) {
            out += entry;
            written = true;
            continue;
        }
        out.append(line);
        out += "\r\n";
    }
    if (inSection && !written) {
        out += entry;
        written = true;
    }
    if (!written) {
        out += "[" + section + "]\r\n" + entry;
    }
    return out;
}

std::string IniReadString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& fallback) {
    const std::optional<std::string> text = platform::ReadWholeFile(path);
    if (!text) return fallback;
    bool found = false;
    std::string value = IniTextRead(*text, section, key, &found);
    return found ? value : fallback;
}

int64_t IniReadInteger(const std::string& path, const std::string& section, const std::string& key,
                       int64_t fallback) {
    const std::optional<std::string> text = platform::ReadWholeFile(path);
    if (!text) return fallback;
    bool found = false;
    const std::string value = IniTextRead(*text, section, key, &found);
    if (!found) return fallback;
    size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
    int64_t number = 0;
    for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i) {
        if (number > (INT64_MAX - 9) / 10) break;  // absurdly long: keep what fits
        number = number * 10 + (value[i] - '0');
    }
    return negative ? -number : number;
}

bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    return IniWriteValues(path, section, {{key, value}});
}

bool IniWriteValues(const std::string& path, const std::string& section,
                    const std::vector<std::pair<std::string, std::string>>& values) {
    std::lock_guard<std::mutex> guard(IniWriteLock());
    std::string text = platform::ReadWholeFile(path).value_or(std::string());
    for (const auto& [key, value] : values) text = IniTextWrite(text, section, key, value);
    return platform::ReplaceFileContents(path, text);
}

}  // namespace veldmoor
