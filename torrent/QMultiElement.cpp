#include "torrent/QMultiElement.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace veldmoor {
namespace {

bool IsContainerOpen(char byte) { return byte == 'd' || byte == 'D' || byte == 'l' || byte == 'L'; }
bool IsContainerClose(char byte) { return byte == 'e' || byte == 'E'; }

char LowerAscii(char byte) { return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte; }

bool EqualsIgnoringAsciiCase(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

}  // namespace

std::unique_ptr<QElement> CreateElementFor(char firstByte) {
    switch (firstByte) {
        case 'd':
        case 'D':
            return std::make_unique<QDictionaryElement>();
        case 'l':
        case 'L':
            return std::make_unique<QListElement>();
        default:
            if (firstByte >= '0' && firstByte <= '9') return std::make_unique<QIntegerElement>();
            return nullptr;
    }
}

QMultiElement::~QMultiElement() { DestroyChildren(); }

int QMultiElement::Parse(const char* text, int length) { return ParseAtDepth(text, length, 1); }

int QMultiElement::ParseAtDepth(const char* text, int length, int depth) {
    Reset();
    if (!text || length < 2 || text[0] == '\0') return 0;
    if (depth > kMaxElementDepth) return -1;

    // The bracket need not match the class: the caller chose the class by it.
    const bool bracketed = IsContainerOpen(text[0]);
    const char* content = bracketed ? text + 1 : text;
    int contentLength = length;
    if (bracketed) contentLength = IsContainerClose(content[0]) ? 0 : length - 2;

    int position = 0;
    if (contentLength > 0) {
        position = ParseChildren(content, contentLength, depth);
        // position <= length - 2 here, so the closing byte lies inside the text.
        if (position < 1 || (bracketed && !IsContainerClose(content[position]))) return -1;
    } else if (!bracketed || !IsContainerClose(content[0])) {
        return -1;
    }
    SetOwnText(std::string());
    MarkParsed();
    return bracketed ? position + 2 : position;
}

int QMultiElement::ParseChildren(const char* content, int length, int depth) {
    if (!content || length <= 0 || content[0] == '\0') return 0;
    int position = 0;
    while (position < length) {
        const char byte = content[position];
        if (byte == '\0' || IsContainerClose(byte)) break;
        std::unique_ptr<QElement> child = CreateElementFor(byte);
        if (!child) return 0;
        if (!child->ParseWrapped(content + position, length - position, depth + 1)) return -1;
        child->parent_ = this;
        position += child->size_;
        children_.push_back(std::move(child));
    }
    return position;
}

int QMultiElement::IndexOf(const QElement* child) const {
    if (!child) return -1;
    for (size_t i = 0; i < children_.size(); ++i) {
        if (children_[i].get() == child) return static_cast<int>(i);
    }
    return -1;
}

QElement* QMultiElement::NextChild(const QElement* child) const {
    if (!IsValid()) return nullptr;
    const int index = IndexOf(child);
    return index < 0 ? nullptr : GetAt(index + 1);
}

QElement* QMultiElement::PrevChild(const QElement* child) const {
    if (!IsValid()) return nullptr;
    const int index = IndexOf(child);
    return index < 1 ? nullptr : GetAt(index - 1);
}

QElement* QMultiElement::GetValue(const char* key, int keyLength) const {
    if (!IsValid() || !key) return nullptr;
    if (keyLength <= 0) keyLength = TerminatedLength(key);
    const std::string_view wanted(key, static_cast<size_t>(keyLength));

    size_t i = 0;
    while (i < children_.size()) {
        const QElement& candidate = *children_[i];
        if (!candidate.IsValid()) {
            ++i;
            continue;
        }
        if (candidate.GetBytes() == wanted) {
            if (candidate.HasInteger()) return children_[i].get();
            if (i + 1 >= children_.size() || children_[i + 1]->HasInteger()) return nullptr;
            return children_[i + 1].get();
        }
        // A key without an integer has its value next: step over it.
        i += candidate.HasInteger() ? 1 : 2;
    }
    return nullptr;
}

QElement* QMultiElement::FindText(const char* text, int length) const {
    if (!IsValid() || !text) return nullptr;
    if (length <= 0) length = TerminatedLength(text);
    const std::string_view wanted(text, static_cast<size_t>(length));
    for (const auto& child : children_) {
        if (child->IsValid() && EqualsIgnoringAsciiCase(child->GetBytes(), wanted)) return child.get();
    }
    return nullptr;
}

QElement* QMultiElement::GetAt(int index) const {
    if (!IsValid() || index < 0 || static_cast<size_t>(index) >= children_.size()) return nullptr;
    return children_[static_cast<size_t>(index)].get();
}

QElement* QMultiElement::Append(QElement* element) { return InsertAt(INT_MAX, element); }

QElement* QMultiElement::InsertAt(int index, QElement* element) {
    if (!element || element->GetSize() <= 0) return nullptr;
    // A container inside itself would be destroyed twice and walked forever.
    if (IsSelfOrAncestor(element)) return nullptr;
    if (SizeWouldOverflow(element->size_)) return nullptr;
    if (element->parent_) element->parent_->Detach(element);
    return Adopt(index, std::unique_ptr<QElement>(element));
}

QElement* QMultiElement::AppendText(const char* data, int length, int64_t value, bool hasInteger) {
    return InsertTextAt(INT_MAX, data, length, value, hasInteger);
}

QElement* QMultiElement::InsertTextAt(int index, const char* data, int length, int64_t value, bool hasInteger) {
    std::unique_ptr<QIntegerElement> leaf = QIntegerElement::Build(data, length, value, hasInteger);
    if (!leaf || SizeWouldOverflow(leaf->size_)) return nullptr;
    return Adopt(index, std::move(leaf));
}

QElement* QMultiElement::Adopt(int index, std::unique_ptr<QElement> child) {
    const auto count = static_cast<int>(children_.size());
    const int at = std::clamp(index, 0, count);
    child->parent_ = this;
    // Bookkeeping only: Encode recomputes sizes, so the field may lag deep edits.
    size_ += child->size_;
    QElement* adopted = child.get();
    children_.insert(children_.begin() + at, std::move(child));
    return adopted;
}

bool QMultiElement::DeleteAt(int index) { return Delete(GetAt(index)); }

bool QMultiElement::Delete(QElement* child) {
    if (!Release(child)) return false;
    delete child;
    return true;
}

bool QMultiElement::DetachAt(int index) { return Detach(GetAt(index)); }

bool QMultiElement::Detach(QElement* child) { return Release(child); }

bool QMultiElement::Release(QElement* child) {
    if (!child || child->parent_ != this) return false;
    const int index = IndexOf(child);
    if (index < 0) return false;
    children_[static_cast<size_t>(index)].release();
    children_.erase(children_.begin() + index);
    child->parent_ = nullptr;
    if (child->IsValid() && child->size_ < size_) size_ -= child->size_;
    return true;
}

bool QMultiElement::DeleteAll() {
    for (const auto& child : children_) {
        child->parent_ = nullptr;
        if (child->IsValid() && child->size_ < size_) size_ -= child->size_;
    }
    children_.clear();
    return true;
}

void QMultiElement::DestroyChildren() {
    // Cleared links keep the children from detaching while the array goes.
    for (const auto& child : children_) child->parent_ = nullptr;
    children_.clear();
}

bool QMultiElement::IsSelfOrAncestor(const QElement* element) const {
    for (const QElement* walk = this; walk; walk = walk->parent_) {
        if (walk == element) return true;
    }
    return false;
}

bool QMultiElement::SizeWouldOverflow(int added) const { return int64_t{size_} + added > INT_MAX; }

int QMultiElement::GetCount() const { return IsValid() ? static_cast<int>(children_.size()) : 0; }

std::string QMultiElement::GetText(std::string_view separator) const {
    std::string joined;
    if (!IsValid()) return joined;
    for (size_t i = 0; i < children_.size(); ++i) {
        if (i > 0) joined.append(separator);
        joined.append(children_[i]->GetLocalText());
    }
    return joined;
}

void QMultiElement::SetCodePage(int codePage) {
    for (const auto& child : children_) child->SetCodePage(codePage);
}

void QMultiElement::Reset() {
    QElement::Reset();
    DestroyChildren();
    SetDeclaredKind(kElementContainer);
}

void QDictionaryElement::Reset() {
    QMultiElement::Reset();
    SetDeclaredKind(kElementDictionary);
}

void QListElement::Reset() {
    QMultiElement::Reset();
    SetDeclaredKind(kElementList);
}

}  // namespace veldmoor
