#pragma once
// Helpers shared by the bencode tests.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "torrent/Bencode.h"

namespace veldmoor::test {

// The text in a heap block of exactly its size, with no NUL after it, so that
// AddressSanitizer catches any read past the given length.
class ExactText {
public:
    explicit ExactText(std::string_view text) : bytes_(text.begin(), text.end()) {}
    const char* Data() const { return bytes_.empty() ? nullptr : bytes_.data(); }
    int Length() const { return static_cast<int>(bytes_.size()); }

private:
    std::vector<char> bytes_;
};

// Keeps the input alive as long as the tree that points into it.
struct ParsedText {
    explicit ParsedText(std::string_view text) : input(text), root(ParseElement(input.Data(), input.Length())) {}
    ExactText input;
    std::unique_ptr<QElement> root;
};

inline std::string EncodeToString(const QElement* element) {
    QByteBuffer buffer;
    if (!Encode(element, buffer)) return "<encode failed>";
    return std::string(buffer.GetView());
}

// Escapes bytes outside printable ASCII, for failure messages.
inline std::string Printable(std::string_view bytes) {
    std::string shown;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (value >= 0x20 && value < 0x7F) {
            shown += byte;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", value);
            shown += escaped;
        }
    }
    return shown;
}

// `depth` lists nested in each other, the innermost holding `innermost`.
inline std::string NestedLists(int depth, std::string_view innermost = "") {
    return std::string(static_cast<size_t>(depth), 'l') + std::string(innermost) +
           std::string(static_cast<size_t>(depth), 'e');
}

}  // namespace veldmoor::test
