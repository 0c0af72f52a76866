#pragma once
// Comparisons that ignore the case of ASCII letters only, as protocol texts
// (schemes, header names, keys) are compared; other bytes must match exactly.
#include <algorithm>
#include <string_view>

namespace veldmoor {

inline bool AsciiEqualNoCase(char a, char b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(a) == lower(b);
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), AsciiEqualNoCase);
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), AsciiEqualNoCase);
}

// Spaces and tabs: the blanks protocol lines put around their fields.
inline constexpr std::string_view kBlanks = " \t";

// `text` without the blanks at its ends.
inline std::string_view TrimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Position of `wanted` in `text`, or npos.
inline size_t FindNoCase(std::string_view text, std::string_view wanted) {
    const auto found = std::search(text.begin(), text.end(), wanted.begin(), wanted.end(), AsciiEqualNoCase);
    return found == text.end() ? std::string_view::npos : static_cast<size_t>(found - text.begin());
}

}  // namespace veldmoor
