#pragma once
// The bencode element tree. A leaf always holds a byte string and may also
// carry a 64-bit integer: the text "6:lengthi42e" is one leaf (length, 42),
// because an integer never stands on its own but follows the string it
// belongs to. Containers keep their children as one flat sequence in text
// order; a dictionary does not keep keys apart from values.
//
// A tree belongs to one thread at a time. Pointers returned by lookups stay
// owned by their container.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veldmoor {

class QElement;
class QMultiElement;

// Values of GetKind and of the parsed-kind field.
enum QElementKind : int {
    kElementInvalid = 0,
    kElementContainer = 1,
    kElementLeaf = 2,
    kElementDictionary = 3,
    kElementList = 4,
};

std::unique_ptr<QElement> ParseElement(const char* text, int length);

class QElement {
public:
    QElement(const QElement&) = delete;
    QElement& operator=(const QElement&) = delete;
    // Leaves the parent first, so deleting a child never leaves a dangling
    // pointer in its container.
    virtual ~QElement();

    // Parses one element from the start of `text`, after a Reset. Above 0:
    // bytes consumed; 0: nothing to parse; -1: malformed; -3: a string length
    // that does not fit.
    virtual int Parse(const char* text, int length) = 0;
    virtual int GetKind() const = 0;

    // Container operations; a leaf answers each with its empty result.
    virtual QElement* NextChild(const QElement* child) const;
    virtual QElement* PrevChild(const QElement* child) const;
    // Dictionary lookup over the flat child sequence; keyLength <= 0 takes
    // the NUL-terminated length of `key`.
    virtual QElement* GetValue(const char* key, int keyLength = 0) const;
    // First child whose bytes equal `text`, ASCII case-insensitive; keys and
    // values alike. length <= 0 takes the NUL-terminated length.
    virtual QElement* FindText(const char* text, int length = 0) const;
    virtual QElement* GetAt(int index) const;
    // Takes ownership of `element` on success (it leaves its old container);
    // on refusal (null) the caller keeps it.
    virtual QElement* Append(QElement* element);
    // Builds a leaf; length < 0 takes the NUL-terminated length of `data`.
    virtual QElement* AppendText(const char* data, int length, int64_t value = 0,
                                 bool hasInteger = false);
    virtual QElement* InsertAt(int index, QElement* element);
    virtual QElement* InsertTextAt(int index, const char* data, int length, int64_t value = 0,
                                   bool hasInteger = false);
    virtual bool DeleteAt(int index);
    virtual bool Delete(QElement* child);
    virtual bool DetachAt(int index);
    // Removes `child` without destroying it; the caller then owns it.
    virtual bool Detach(QElement* child);
    virtual bool DeleteAll();
    virtual int GetCount() const;
    // A leaf's raw bytes; a container's children's local texts joined by
    // `separator`.
    virtual std::string GetText(std::string_view separator) const = 0;
    virtual void SetCodePage(int codePage) = 0;
    // Back to the constructed state. An element that has a parent leaves it,
    // and the caller then owns the element.
    virtual void Reset();

    bool IsValid() const;
    // The leaf's bytes, NUL-terminated; "" when invalid.
    const char* GetData() const;
    // -1 when invalid.
    int GetLength() const;
    std::string_view GetBytes() const;
    int64_t GetInteger() const;
    bool HasInteger() const;
    // Bytes consumed by the parse, or the encoded size of a built leaf.
    int GetSize() const;
    // The first byte in the parsed input; valid only while the input is.
    const char* GetSource() const;
    int GetParsedKind() const { return parsedKind_; }
    int GetCodePage() const { return codePage_; }
    QMultiElement* GetParent() const { return parent_; }
    QElement* NextSibling() const;
    // A leaf's bytes in the system code page; empty for containers and when
    // the bytes do not convert.
    std::string GetLocalText() const;

protected:
    explicit QElement(int declaredKind) : declaredKind_(declaredKind) {}

    // Parse with the nesting depth of the element; only containers use it.
    virtual int ParseAtDepth(const char* text, int length, int depth);

    // strlen of a NUL-terminated argument, capped at INT_MAX.
    static int TerminatedLength(const char* text);

    void SetDeclaredKind(int kind) { declaredKind_ = kind; }
    int GetDeclaredKind() const { return declaredKind_; }
    void MarkParsed() { parsedKind_ = declaredKind_; }
    void SetOwnText(std::string text) { text_ = std::move(text); }
    void SetOwnInteger(int64_t value, bool hasInteger);
    void SetOwnCodePage(int codePage) { codePage_ = codePage; }
    void SetOwnSize(int size) { size_ = size; }

private:
    friend class QMultiElement;
    friend std::unique_ptr<QElement> ParseElement(const char* text, int length);

    // Runs Parse and records its outcome: size, source, validity.
    bool ParseWrapped(const char* text, int length, int depth);

    bool hasInteger_ = false;
    int codePage_ = 0;
    const char* source_ = nullptr;
    // Empty optional: no text, the element is not valid.
    std::optional<std::string> text_;
    int declaredKind_;
    int parsedKind_ = kElementInvalid;
    int64_t integer_ = 0;
    int size_ = 0;
    QMultiElement* parent_ = nullptr;
};

// The leaf: a byte string, optionally with an integer.
class QIntegerElement : public QElement {
public:
    QIntegerElement() : QElement(kElementLeaf) {}

    // A valid leaf with its encoded size; null when `data` is null, when an
    // empty string would carry an integer, or when the encoding would not fit
    // in an int.
    static std::unique_ptr<QIntegerElement> Build(const char* data, int length, int64_t value,
                                                  bool hasInteger);

    int Parse(const char* text, int length) override;
    int GetKind() const override { return kElementLeaf; }
    std::string GetText(std::string_view separator) const override;
    void SetCodePage(int codePage) override { SetOwnCodePage(codePage); }
    void Reset() override;
};

}  // namespace veldmoor
