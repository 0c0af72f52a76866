// Feeds arbitrary bytes to the bencode parser and runs the lookups over what
// it accepts. Beyond the sanitizers' checks, it traps when:
//  - an accepted text in canonical form does not encode back to exactly the
//    bytes the parser consumed;
//  - any accepted text encodes to something that does not read back as the
//    same encoding (lenient forms must normalise in one step);
//  - a whole input in canonical form is refused or only partly consumed.
// The parser also takes lenient forms (upper-case brackets, stray bytes
// before a ':' or inside an integer, signs, leading zeros); those cannot
// round-trip byte for byte, so the exact check is stated over canonical text
// only, recognised here by a strict reader independent of the parser.
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "torrent/Bencode.h"

namespace {

using veldmoor::kMaxElementDepth;

// The canonical grammar, in which a string may be followed by its integer:
//   element := leaf | 'd' element* 'e' | 'l' element* 'e'
//   leaf    := length ':' bytes [ 'i' integer 'e' ]
// Numbers have no sign (lengths), no '+', no leading zeros and no "-0".
class CanonicalReader {
public:
    explicit CanonicalReader(std::string_view text) : text_(text) {}

    // Bytes taken by the element at the start, or -1 when it is not canonical.
    long Element() { return ReadElement(0) ? static_cast<long>(at_) : -1; }

private:
    bool ReadElement(int depth) {
        if (at_ >= text_.size()) return false;
        const char first = text_[at_];
        if (first == 'd' || first == 'l') {
            if (depth >= kMaxElementDepth) return false;
            ++at_;
            while (at_ < text_.size() && text_[at_] != 'e') {
                if (!ReadElement(depth + 1)) return false;
            }
            if (at_ >= text_.size()) return false;
            ++at_;
            return true;
        }
        return ReadLeaf();
    }

    bool ReadLeaf() {
        uint64_t length = 0;
        if (!ReadUnsigned(INT32_MAX, length)) return false;
        if (at_ >= text_.size() || text_[at_] != ':') return false;
        ++at_;
        if (length > text_.size() - at_) return false;
        at_ += length;
        if (at_ >= text_.size() || text_[at_] != 'i') return true;
        ++at_;
        const bool negative = at_ < text_.size() && text_[at_] == '-';
        if (negative) ++at_;
        uint64_t magnitude = 0;
        if (!ReadUnsigned(negative ? uint64_t{1} << 63 : INT64_MAX, magnitude)) return false;
        if (negative && magnitude == 0) return false;
        if (at_ >= text_.size() || text_[at_] != 'e') return false;
        ++at_;
        return true;
    }

    bool ReadUnsigned(uint64_t limit, uint64_t& value) {
        const size_t start = at_;
        value = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            const auto digit = static_cast<uint64_t>(text_[at_] - '0');
            if (value > limit / 10 || (value == limit / 10 && digit > limit % 10)) return false;
            value = value * 10 + digit;
            ++at_;
        }
        const size_t digits = at_ - start;
        return digits > 0 && !(digits > 1 && text_[start] == '0');
    }

    std::string_view text_;
    size_t at_ = 0;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bencode_fuzz: %s\n", what);
    __builtin_trap();
}

// Runs the lookups over the first children of every container, so that
// malformed dictionaries (keys without values, containers in key places)
// meet GetValue, FindText and the child walks under the sanitizers.
void ExerciseLookups(const veldmoor::QElement& container) {
    constexpr int kChildrenLooked = 8;
    const int count = container.GetCount();
    for (int i = 0; i < count; ++i) {
        const veldmoor::QElement* child = container.GetAt(i);
        if (!child || child->GetParent() != &container) Fail("a child does not know its parent");
        if (child->GetCount() > 0) ExerciseLookups(*child);
        if (i >= kChildrenLooked) continue;
        if (container.NextChild(child) != container.GetAt(i + 1)) Fail("NextChild disagrees with GetAt");
        if (container.PrevChild(child) != (i > 0 ? container.GetAt(i - 1) : nullptr)) {
            Fail("PrevChild disagrees with GetAt");
        }
        const std::string_view bytes = child->GetBytes();
        if (bytes.empty() || bytes.size() > INT32_MAX) continue;
        const int length = static_cast<int>(bytes.size());
        const veldmoor::QElement* value = container.GetValue(bytes.data(), length);
        if (value && value->GetParent() != &container) Fail("GetValue left its container");
        const veldmoor::QElement* found = container.FindText(bytes.data(), length);
        if (!found || found->GetLength() != length) Fail("FindText missed a child");
        (void)child->GetLocalText();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT32_MAX) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const int length = static_cast<int>(size);

    const std::unique_ptr<veldmoor::QElement> root = veldmoor::ParseElement(input.data(), length);
    const long canonicalWhole = CanonicalReader(input).Element();
    if (canonicalWhole == static_cast<long>(size) && (!root || root->GetSize() != length)) {
        Fail("a canonical text was not read whole");
    }
    if (!root) return 0;

    const int consumed = root->GetSize();
    if (consumed <= 0 || consumed > length || !root->IsValid()) Fail("accepted element has a bad size");
    if (root->GetSource() != input.data()) Fail("accepted element does not point at its input");

    root->SetCodePage(936);
    ExerciseLookups(*root);
    (void)root->GetText(",");

    veldmoor::QByteBuffer encoded;
    if (!veldmoor::Encode(root.get(), encoded)) Fail("an accepted tree did not encode");

    const std::string_view taken = input.substr(0, static_cast<size_t>(consumed));
    if (CanonicalReader(taken).Element() == consumed && encoded.GetView() != taken) {
        Fail("canonical text did not encode back byte for byte");
    }

    const auto reread = veldmoor::ParseElement(encoded.GetData(), static_cast<int>(encoded.GetLength()));
    if (!reread || static_cast<size_t>(reread->GetSize()) != encoded.GetLength()) {
        Fail("an encoding did not read back whole");
    }
    veldmoor::QByteBuffer again;
    if (!veldmoor::Encode(reread.get(), again) || again.GetView() != encoded.GetView()) {
        Fail("an encoding did not encode back to itself");
    }
    return 0;
}
