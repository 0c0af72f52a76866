#pragma once
// A growable byte array that encoders and protocol builders append to.
#include <cstddef>
#include <string_view>
#include <vector>

namespace veldmoor {

class QByteBuffer {
public:
    QByteBuffer();

    // Appends `count` bytes. When fewer than `count` bytes are free the
    // capacity grows by `count`, and by a further 2048 for small appends, so a
    // run of small appends reallocates rarely. False for null bytes.
    bool Append(const void* bytes, size_t count);
    bool Append(std::string_view bytes) { return Append(bytes.data(), bytes.size()); }

    // Grows the capacity to at least `capacity`, keeping the contents.
    void Reserve(size_t capacity);
    // Forgets the contents; the capacity stays.
    void Clear();

    // The bytes, always followed by a NUL.
    const char* GetData() const { return storage_.data(); }
    size_t GetLength() const { return used_; }
    size_t GetCapacity() const { return storage_.size() - 1; }
    size_t GetFree() const { return GetCapacity() - used_; }
    std::string_view GetView() const { return {storage_.data(), used_}; }

private:
    static constexpr size_t kSmallAppendExtra = 2048;

    // One byte beyond the capacity holds the NUL after a full buffer.
    std::vector<char> storage_;
    size_t used_ = 0;
};

}  // namespace veldmoor
