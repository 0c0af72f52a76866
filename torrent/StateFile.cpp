#include "torrent/StateFile.h"

#include <climits>

#include "torrent/Bencode.h"

namespace veldmoor {
namespace {

// Texts of 2 bytes or fewer are placeholders ("de", "le"), not saved state.
constexpr int kShortestUsefulText = 3;

void TakeText(const QElement& dictionary, const char* key, std::string& text) {
    const QElement* value = dictionary.GetValue(key);
    if (value && value->GetKind() == 2 && value->GetLength() >= kShortestUsefulText)
        text.assign(value->GetData(), static_cast<size_t>(value->GetLength()));
}

}  // namespace

bool ReadStateFile(std::string_view bytes, SavedStateTexts& texts) {
    if (bytes.empty() || bytes.size() > static_cast<size_t>(INT_MAX)) return false;
    const auto root = ParseElement(bytes.data(), static_cast<int>(bytes.size()));
    if (!root || root->GetKind() != 3) return false;
    TakeText(*root, "torrent", texts.torrent);
    TakeText(*root, "part", texts.part);
    TakeText(*root, "bits", texts.bits);
    TakeText(*root, "seeds", texts.seeds);
    TakeText(*root, "versions", texts.versions);
    return true;
}

std::optional<std::string> EncodeStateFile(const SavedStateTexts& texts) {
    auto root = NewDictionary();
    const std::pair<const char*, const std::string*> entries[] = {
        {"bits", &texts.bits}, {"part", &texts.part}, {"seeds", &texts.seeds}, {"torrent", &texts.torrent},
        {"versions", &texts.versions}};
    for (const auto& [key, text] : entries) {
        if (text->empty()) continue;
        if (text->size() > static_cast<size_t>(INT_MAX / 2)) return std::nullopt;
        if (!root->AppendText(key, -1) || !root->AppendText(text->data(), static_cast<int>(text->size())))
            return std::nullopt;
    }
    QByteBuffer buffer;
    if (!Encode(root.get(), buffer)) return std::nullopt;
    return std::string(buffer.GetView());
}

}  // namespace veldmoor
