#pragma once
// Dictionaries and lists of bencode elements.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "torrent/QElement.h"

namespace veldmoor {

// Containers nested deeper than this are refused, so that hostile input
// cannot exhaust the stack of the recursive parser.
inline constexpr int kMaxElementDepth = 64;

// A container owns its children and keeps them in text (or insertion) order.
class QMultiElement : public QElement {
public:
    ~QMultiElement() override;

    int Parse(const char* text, int length) override;
    int GetKind() const override { return kElementContainer; }
    QElement* NextChild(const QElement* child) const override;
    QElement* PrevChild(const QElement* child) const override;
    // A key that carries an integer is its own value; otherwise the value is
    // the element after the key, unless that element carries an integer (it
    // is then the next key).
    QElement* GetValue(const char* key, int keyLength = 0) const override;
    QElement* FindText(const char* text, int length = 0) const override;
    QElement* GetAt(int index) const override;
    QElement* Append(QElement* element) override;
    QElement* AppendText(const char* data, int length, int64_t value = 0, bool hasInteger = false) override;
    // An index below 0 inserts at the front, one beyond the count at the end.
    QElement* InsertAt(int index, QElement* element) override;
    QElement* InsertTextAt(int index, const char* data, int length, int64_t value = 0,
                           bool hasInteger = false) override;
    bool DeleteAt(int index) override;
    bool Delete(QElement* child) override;
    bool DetachAt(int index) override;
    bool Detach(QElement* child) override;
    bool DeleteAll() override;
    int GetCount() const override;
    std::string GetText(std::string_view separator) const override;
    // Reaches every leaf below this container.
    void SetCodePage(int codePage) override;
    void Reset() override;
    // Keeps this class abstract; the concrete containers implement it empty.
    virtual void Reserved() = 0;

protected:
    explicit QMultiElement(int declaredKind) : QElement(declaredKind) {}

    int ParseAtDepth(const char* text, int length, int depth) override;

private:
    friend class QElement;

    // Parses children until the closing byte; the bytes consumed, 0 when the
    // content cannot start an element, -1 when a child fails.
    int ParseChildren(const char* content, int length, int depth);
    int IndexOf(const QElement* child) const;
    bool IsSelfOrAncestor(const QElement* element) const;
    bool SizeWouldOverflow(int added) const;
    QElement* Adopt(int index, std::unique_ptr<QElement> child);
    // Takes `child` out of the array without destroying it. Runs from the
    // child's destructor too, so it reads only the child's base part.
    bool Release(QElement* child);
    void DestroyChildren();

    std::vector<std::unique_ptr<QElement>> children_;
};

class QDictionaryElement final : public QMultiElement {
public:
    QDictionaryElement() : QMultiElement(kElementDictionary) {}
    int GetKind() const override { return kElementDictionary; }
    void Reset() override;
    void Reserved() override {}
};

class QListElement final : public QMultiElement {
public:
    QListElement() : QMultiElement(kElementList) {}
    int GetKind() const override { return kElementList; }
    void Reset() override;
    void Reserved() override {}
};

// The unparsed element that a text starting with `firstByte` holds: a
// dictionary for d/D, a list for l/L, a leaf for a digit; null otherwise.
std::unique_ptr<QElement> CreateElementFor(char firstByte);

}  // namespace veldmoor
