#include "torrent/QElement.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/CodePage.h"
#include "torrent/DecimalReader.h"
#include "torrent/QMultiElement.h"

namespace veldmoor {
namespace {

bool IsDigit(char byte) { return byte >= '0' && byte <= '9'; }

// Bytes the parser steps over between a number and its delimiter: digits and
// all punctuation and control bytes below ':'. Writers in the wild put
// blanks, signs and stray separators there.
bool IsNumberFiller(char byte) {
    const auto value = static_cast<unsigned char>(byte);
    return value >= 0x01 && value <= 0x39;
}

bool IsPrintableAscii(std::string_view bytes) {
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (value < 0x20 || value > 0x7E) return false;
    }
    return true;
}

// First index at or after `from` that is not a filler byte; `length` when
// fillers run to the end.
int SkipNumberFiller(const char* text, int from, int length) {
    int at = from;
    while (at < length && IsNumberFiller(text[at])) ++at;
    return at;
}

}  // namespace

QElement::~QElement() {
    // Only non-virtual members of this element are touched from here on: the
    // derived parts are already gone.
    if (parent_) parent_->Release(this);
}

QElement* QElement::NextChild(const QElement*) const { return nullptr; }
QElement* QElement::PrevChild(const QElement*) const { return nullptr; }
QElement* QElement::GetValue(const char*, int) const { return nullptr; }
QElement* QElement::FindText(const char*, int) const { return nullptr; }
QElement* QElement::GetAt(int) const { return nullptr; }
QElement* QElement::Append(QElement*) { return nullptr; }
QElement* QElement::AppendText(const char*, int, int64_t, bool) { return nullptr; }
QElement* QElement::InsertAt(int, QElement*) { return nullptr; }
QElement* QElement::InsertTextAt(int, const char*, int, int64_t, bool) { return nullptr; }
bool QElement::DeleteAt(int) { return false; }
bool QElement::Delete(QElement*) { return false; }
bool QElement::DetachAt(int) { return false; }
bool QElement::Detach(QElement*) { return false; }
bool QElement::DeleteAll() { return false; }
int QElement::GetCount() const { return 0; }

void QElement::Reset() {
    if (parent_) parent_->Detach(this);
    text_.reset();
    hasInteger_ = false;
    integer_ = 0;
    codePage_ = 0;
    source_ = nullptr;
    size_ = 0;
    parsedKind_ = kElementInvalid;
}

int QElement::TerminatedLength(const char* text) {
    return static_cast<int>(std::min<size_t>(std::strlen(text), INT_MAX));
}

int QElement::ParseAtDepth(const char* text, int length, int) { return Parse(text, length); }

bool QElement::ParseWrapped(const char* text, int length, int depth) {
    if (length < 0 && text) length = TerminatedLength(text);
    size_ = ParseAtDepth(text, length, depth);
    if (size_ < 1) parsedKind_ = kElementInvalid;
    source_ = text;
    return size_ > 0 && parsedKind_ != kElementInvalid;
}

void QElement::SetOwnInteger(int64_t value, bool hasInteger) {
    integer_ = value;
    hasInteger_ = hasInteger;
}

bool QElement::IsValid() const { return parsedKind_ != kElementInvalid && text_.has_value(); }

const char* QElement::GetData() const { return IsValid() ? text_->c_str() : ""; }

int QElement::GetLength() const { return IsValid() ? static_cast<int>(text_->size()) : -1; }

std::string_view QElement::GetBytes() const { return IsValid() ? std::string_view(*text_) : std::string_view(); }

int64_t QElement::GetInteger() const { return IsValid() ? integer_ : 0; }

bool QElement::HasInteger() const { return IsValid() && (hasInteger_ || integer_ != 0); }

int QElement::GetSize() const { return IsValid() ? size_ : 0; }

const char* QElement::GetSource() const { return IsValid() ? source_ : nullptr; }

QElement* QElement::NextSibling() const {
    if (!IsValid() || !parent_) return nullptr;
    return parent_->NextChild(this);
}

std::string QElement::GetLocalText() const {
    if (!IsValid() || GetKind() != kElementLeaf || text_->empty() || text_->front() == '\0') return {};
    if (codePage_ == 0 || IsPrintableAscii(*text_)) return *text_;
    return platform::ConvertToSystemCodePage(codePage_, *text_).value_or(std::string());
}

std::unique_ptr<QIntegerElement> QIntegerElement::Build(const char* data, int length, int64_t value,
                                                        bool hasInteger) {
    if (!data) return nullptr;
    if (length < 0) length = TerminatedLength(data);
    // An empty string followed by an integer would not read back as one leaf
    // in every reader, so the builder never writes it.
    if (length == 0 && (value != 0 || hasInteger)) return nullptr;

    int64_t size = int64_t{DecimalWidth(length)} + 1 + length;
    if (value != 0 || hasInteger) size += DecimalWidth(value) + 2;
    if (size > INT_MAX) return nullptr;

    auto leaf = std::make_unique<QIntegerElement>();
    leaf->SetOwnText(std::string(data, static_cast<size_t>(length)));
    leaf->SetOwnInteger(value, hasInteger);
    leaf->SetOwnSize(static_cast<int>(size));
    leaf->MarkParsed();
    return leaf;
}

int QIntegerElement::Parse(const char* text, int length) {
    Reset();
    if (!text || length <= 0 || !IsDigit(text[0])) return 0;

    const auto stringLength = ReadLeadingDecimal(std::string_view(text, static_cast<size_t>(length)), 0, INT_MAX);
    if (!stringLength) return -3;

    const int colon = SkipNumberFiller(text, 1, length);
    if (colon >= length || text[colon] != ':') return -1;
    const int stringStart = colon + 1;
    const int64_t remaining = int64_t{length} - stringStart - *stringLength;
    if (remaining < 0) return -3;

    SetOwnText(std::string(text + stringStart, static_cast<size_t>(*stringLength)));
    int consumed = stringStart + static_cast<int>(*stringLength);

    if (remaining > 0 && (text[consumed] == 'i' || text[consumed] == 'I')) {
        const int digitsStart = consumed + 1;
        const int end = SkipNumberFiller(text, digitsStart, length);
        if (end >= length || text[end] != 'e') return -1;
        const auto value = ReadLeadingDecimal(
            std::string_view(text + digitsStart, static_cast<size_t>(end - digitsStart)), INT64_MIN, INT64_MAX);
        if (!value) return -1;
        SetOwnInteger(*value, true);
        consumed = end + 1;
    }
    MarkParsed();
    return consumed;
}

std::string QIntegerElement::GetText(std::string_view) const { return std::string(GetBytes()); }

void QIntegerElement::Reset() {
    QElement::Reset();
    SetDeclaredKind(kElementLeaf);
}

}  // namespace veldmoor
