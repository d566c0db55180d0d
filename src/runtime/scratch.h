// The one owner of heap scratch memory: accumulator windows, completion tables, enumerator
// records, sampling stacks, log-factorial tables. Zero-filled, freed by the destructor
// (also while an exception unwinds), refused with "Out of memory" beyond the block cap.
#pragma once
#include <cstdlib>
#include <utility>

#include "arena.h"
#include "error.h"
#include "messages.h"

namespace movra {

template <class T>
class ScratchBuffer {
public:
    ScratchBuffer() = default;
    explicit ScratchBuffer(int64_t count) { reset(count); }
    ~ScratchBuffer() { std::free(data_); }
    ScratchBuffer(ScratchBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    ScratchBuffer& operator=(ScratchBuffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(count_, other.count_);
        return *this;
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    // Replaces the contents by count zero-filled elements; the old ones are freed only
    // once the new allocation has succeeded.
    void reset(int64_t count) {
        if (count < 0 || uint64_t(count) > kMaxBlockBytes / sizeof(T)) fail(msg::OutOfMemory);
        T* p = static_cast<T*>(std::calloc(count > 0 ? size_t(count) : 1, sizeof(T)));
        if (p == nullptr) fail(msg::OutOfMemory);
        std::free(data_);
        data_ = p;
        count_ = count;
    }
    T* get() const { return data_; }
    T& operator[](int64_t i) const { return data_[i]; }
    int64_t size() const { return count_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    T* data_ = nullptr;
    int64_t count_ = 0;
};

}  // namespace movra
