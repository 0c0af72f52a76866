#pragma once
// Reading bencoded text into an element tree and writing a tree back.
#include <memory>

#include "torrent/QByteBuffer.h"
#include "torrent/QElement.h"
#include "torrent/QMultiElement.h"

namespace veldmoor {

// Parses the element at the start of `text`; null when the text is empty,
// does not start an element, or is malformed. GetSize of the result is the
// number of bytes it took, which may be fewer than `length`.
std::unique_ptr<QElement> ParseElement(const char* text, int length);

// An empty, valid dictionary to build on. A freshly constructed container
// stays invalid until it has parsed something.
std::unique_ptr<QElement> NewDictionary();

// A leaf's size field, or 2 plus the sum over a container's children; 0 when
// anything below `element` is invalid or the total does not fit in an int.
int EncodedSize(const QElement* element);

// Appends the encoding of `element` to `buffer`. Keys are written in the
// order of the children, never sorted. False, with the buffer untouched, when
// any element of the tree is invalid.
bool Encode(const QElement* element, QByteBuffer& buffer);

}  // namespace veldmoor
