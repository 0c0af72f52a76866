#pragma once
#include <cstdint>

namespace veldmoor {

// Shared by several owners; the last Release deletes it. The count is a plain
// integer: owners change it only under the lock of the job that holds the object.
class TRefObject {
public:
    TRefObject() = default;
    TRefObject(const TRefObject&) = delete;
    TRefObject& operator=(const TRefObject&) = delete;

    virtual ~TRefObject() = default;
    virtual TRefObject* AddRef() {
        ++refCount_;
        return this;
    }
    virtual int32_t Release() {
        const int32_t remaining = --refCount_;
        if (remaining == 0) delete this;
        return remaining;
    }
    virtual int32_t GetRefCount() const { return refCount_; }

private:
    int32_t refCount_ = 1;
};

// Release that accepts a null object (0 then).
inline int32_t ReleaseRef(TRefObject* object) { return object ? object->Release() : 0; }

}  // namespace veldmoor
