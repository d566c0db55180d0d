// The one owner of heap scratch memory: accumulator windows, completion tables, enumerator
// records, sampling stacks, log-factorial tables. Zero-filled, freed by the destructor
// (also while an exception unwinds), refused with "Out of memory" beyond the block cap.
#pragma once
#include <cstdlib>
#include <cstring>
#include <utility>

#include "arena.h"
#include "error.h"
#include "messages.h"

namespace movra {

// Small scratch blocks this thread freed, kept by size class for its next computations:
// every step takes and drops the same few sizes, and the C library's allocator is slow at
// that. Per thread, so that instances stepping on two threads never share one; bounded
// (kPerClass blocks of at most kClasses * kClassBytes each).
class ScratchCache {
public:
    static constexpr size_t kClassBytes = 64;
    static constexpr size_t kClasses = 64;
    static constexpr int kPerClass = 16;

    // The class of a block of `bytes` (>= 1) bytes; kClasses for one kept by nobody.
    static size_t classOf(size_t bytes) {
        size_t c = (bytes - 1) / kClassBytes;
        return c < kClasses ? c : kClasses;
    }
    // A zero-filled block of `bytes` bytes of class c < kClasses, or null.
    void* take(size_t c, size_t bytes) {
        if (count_[c] == 0) return nullptr;
        void* p = blocks_[c][--count_[c]];
        std::memset(p, 0, bytes);
        return p;
    }
    // Keeps p (a block of class c < kClasses) unless the class is full.
    bool keep(size_t c, void* p) {
        if (count_[c] == kPerClass) return false;
        blocks_[c][count_[c]++] = p;
        return true;
    }
    ~ScratchCache() {
        for (size_t c = 0; c < kClasses; c++)
            for (int i = 0; i < count_[c]; i++) std::free(blocks_[c][i]);
    }

    static ScratchCache& ofThisThread() {
        thread_local ScratchCache cache;
        return cache;
    }

private:
    void* blocks_[kClasses][kPerClass] = {};
    int count_[kClasses] = {};
};

template <class T>
class ScratchBuffer {
public:
    ScratchBuffer() = default;
    explicit ScratchBuffer(int64_t count) { reset(count); }
    ~ScratchBuffer() { drop(data_, count_); }
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
        const size_t bytes = bytesOf(count), c = ScratchCache::classOf(bytes);
        T* p = nullptr;
        if (c < ScratchCache::kClasses) {
            p = static_cast<T*>(ScratchCache::ofThisThread().take(c, bytes));
            // A new small block takes its whole class, to serve any request of it later.
            if (p == nullptr) p = static_cast<T*>(std::calloc(1, (c + 1) * ScratchCache::kClassBytes));
        } else {
            p = static_cast<T*>(std::calloc(1, bytes));
        }
        if (p == nullptr) fail(msg::OutOfMemory);
        drop(data_, count_);
        data_ = p;
        count_ = count;
    }
    T* get() const { return data_; }
    T& operator[](int64_t i) const { return data_[i]; }
    int64_t size() const { return count_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    static size_t bytesOf(int64_t count) { return (count > 0 ? size_t(count) : 1) * sizeof(T); }
    static void drop(T* p, int64_t count) {
        if (p == nullptr) return;
        const size_t c = ScratchCache::classOf(bytesOf(count));
        if (c < ScratchCache::kClasses && ScratchCache::ofThisThread().keep(c, p)) return;
        std::free(p);
    }
    T* data_ = nullptr;
    int64_t count_ = 0;
};

}  // namespace movra
