// The one owner of heap scratch memory: accumulator windows, completion tables, enumerator
// records, sampling stacks, log-factorial tables. Zero-filled, freed by the destructor
// (also while an exception unwinds), refused with "Out of memory" beyond the block cap.
#pragma once
#include <cstdlib>
#include <cstring>
#include <utility>

#include "arena.h"
#include "compiler.h"
#include "error.h"
#include "freelist.h"
#include "messages.h"

namespace movra {

// Small scratch blocks this thread freed, kept by size class for its next computations:
// every step takes and drops the same few sizes, and the C library's allocator is slow at
// that. Per thread, so that instances stepping on two threads never share one; bounded
// (kPerClass blocks of each class, of at most 4 KiB each).
class ScratchCache {
public:
    using Blocks = Freelist<64, 64>;
    static constexpr size_t kPerClass = 16;

    // A zero-filled block of `bytes` bytes of class c < Blocks::kClasses, or null.
    void* take(size_t c, size_t bytes) { return blocks_.take(c, bytes); }
    // The same, not zero-filled.
    void* takeAsLeft(size_t c) { return blocks_.takeAsLeft(c); }
    // Keeps p (a block of class c < Blocks::kClasses) unless the class is full.
    bool keep(size_t c, void* p) {
        if (blocks_.count(c) == kPerClass) return false;
        blocks_.keep(c, p);
        return true;
    }
    ~ScratchCache() { blocks_.freeAll(); }

    static ScratchCache& ofThisThread() {
        thread_local ScratchCache cache;
        return cache;
    }
    // The same, out of line. Inlined, the address is a constant to the compiler, which
    // computes it again (a call into the dynamic loader) at every use instead of keeping
    // it, and before testing whether a buffer is bound.
    MOVRA_NOINLINE static ScratchCache* lookedUp() { return &ofThisThread(); }

private:
    Blocks blocks_;
};

// A buffer bound to a cache (bind) takes and drops its blocks there instead of looking up
// the thread's cache each time: each lookup is a call into the dynamic loader, and a
// network step makes hundreds. Bind only a buffer that dies on the thread that resolved
// the cache, within the same call (scratch of one computation, never an instance's).
// A move keeps each side's binding.
template <class T>
class ScratchBuffer {
public:
    ScratchBuffer() = default;
    explicit ScratchBuffer(int64_t count) { reset(count); }
    ScratchBuffer(ScratchCache* cache, int64_t count) : cache_(cache) { reset(count); }
    ~ScratchBuffer() { drop(data_, count_); }
    ScratchBuffer(ScratchBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          count_(std::exchange(other.count_, 0)),
          cache_(other.cache_) {}
    ScratchBuffer& operator=(ScratchBuffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(count_, other.count_);
        return *this;
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    // Replaces the contents by count zero-filled elements; the old ones are freed only
    // once the new allocation has succeeded.
    void reset(int64_t count) { replace(count, true); }
    // The same with elements of any value: for a caller that writes each before it reads
    // it, and so need not pay for the zeros.
    void resetUnfilled(int64_t count) { replace(count, false); }
    T* get() const { return data_; }
    T& operator[](int64_t i) const { return data_[i]; }
    int64_t size() const { return count_; }
    explicit operator bool() const { return data_ != nullptr; }
    // cache: this thread's (null: look it up at each use).
    void bind(ScratchCache* cache) { cache_ = cache; }
    ScratchCache* boundCache() const { return cache_; }

private:
    void replace(int64_t count, bool zeros) {
        if (count < 0 || uint64_t(count) > kMaxBlockBytes / sizeof(T)) fail(msg::OutOfMemory);
        const size_t bytes = bytesOf(count), c = ScratchCache::Blocks::classOf(bytes);
        T* p = nullptr;
        if (c < ScratchCache::Blocks::kClasses) {
            p = static_cast<T*>(zeros ? cache().take(c, bytes) : cache().takeAsLeft(c));
            if (p == nullptr)
                p = static_cast<T*>(std::calloc(1, ScratchCache::Blocks::classBytes(c)));
        } else {
            p = static_cast<T*>(std::calloc(1, bytes));
        }
        if (p == nullptr) fail(msg::OutOfMemory);
        drop(data_, count_);
        data_ = p;
        count_ = count;
    }
    ScratchCache& cache() const { return cache_ ? *cache_ : *ScratchCache::lookedUp(); }
    static size_t bytesOf(int64_t count) { return (count > 0 ? size_t(count) : 1) * sizeof(T); }
    void drop(T* p, int64_t count) const {
        if (p == nullptr) return;
        const size_t c = ScratchCache::Blocks::classOf(bytesOf(count));
        if (c < ScratchCache::Blocks::kClasses && cache().keep(c, p)) return;
        std::free(p);
    }
    T* data_ = nullptr;
    int64_t count_ = 0;
    ScratchCache* cache_ = nullptr;
};

}  // namespace movra
