#include "torrent/Bencode.h"

#include <charconv>
#include <climits>

namespace veldmoor {
namespace {

// Room kept beyond the encoded size, so that a caller appending a little
// after the encoding does not reallocate.
constexpr size_t kEncodeSpare = 1024;

void AppendDecimal(QByteBuffer& buffer, int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    buffer.Append(digits, static_cast<size_t>(result.ptr - digits));
}

bool EncodeInto(const QElement& element, QByteBuffer& buffer) {
    if (!element.IsValid()) return false;
    const int kind = element.GetKind();
    if (kind == kElementLeaf) {
        AppendDecimal(buffer, element.GetLength());
        buffer.Append(":", 1);
        buffer.Append(element.GetBytes());
        if (element.HasInteger()) {
            buffer.Append("i", 1);
            AppendDecimal(buffer, element.GetInteger());
            buffer.Append("e", 1);
        }
        return true;
    }
    if (kind != kElementDictionary && kind != kElementList) return false;
    buffer.Append(kind == kElementDictionary ? "d" : "l", 1);
    const int count = element.GetCount();
    for (int i = 0; i < count; ++i) {
        const QElement* child = element.GetAt(i);
        if (!child || !EncodeInto(*child, buffer)) return false;
    }
    buffer.Append("e", 1);
    return true;
}

}  // namespace

std::unique_ptr<QElement> ParseElement(const char* text, int length) {
    if (!text || length <= 0) return nullptr;
    std::unique_ptr<QElement> element = CreateElementFor(text[0]);
    if (!element || !element->ParseWrapped(text, length, 1)) return nullptr;
    return element;
}

std::unique_ptr<QElement> NewDictionary() { return ParseElement("de", 2); }

int EncodedSize(const QElement* element) {
    if (!element || !element->IsValid()) return 0;
    const int kind = element->GetKind();
    if (kind == kElementLeaf) return element->GetSize();
    if (kind != kElementDictionary && kind != kElementList) return 0;
    int64_t total = 2;
    const int count = element->GetCount();
    for (int i = 0; i < count; ++i) {
        const int childSize = EncodedSize(element->GetAt(i));
        if (childSize <= 0) return 0;
        total += childSize;
        if (total > INT_MAX) return 0;
    }
    return static_cast<int>(total);
}

bool Encode(const QElement* element, QByteBuffer& buffer) {
    // The size walk visits the whole tree first, so a failure writes nothing.
    const int size = EncodedSize(element);
    if (size <= 0) return false;
    const size_t wanted = static_cast<size_t>(size) + kEncodeSpare;
    if (buffer.GetFree() < wanted) buffer.Reserve(buffer.GetLength() + wanted);
    return EncodeInto(*element, buffer);
}

}  // namespace veldmoor
