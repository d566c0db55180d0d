// Freed blocks kept for reuse, by size class: the one freelist of the runtime, used by the
// arena (the small blocks one sweep freed, for the next call of the instance) and by the
// scratch cache (the small blocks of one thread's computations). A block of `bytes` bytes
// is of class (bytes - 1) / ClassBytes; a new small block is allocated with its class's
// whole size, so that it can serve any request of the class later. The lists run through
// the first word of each kept block. All zero is the empty freelist, so a record that
// holds one may be zero-filled instead of constructed.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace movra {

template <size_t ClassBytes, size_t Classes>
class Freelist {
    static_assert(Classes <= 64, "one bit per class in held_");

public:
    static constexpr size_t kClasses = Classes;

    // The class of a block of `bytes` (>= 1) bytes; kClasses for one kept by nobody.
    static size_t classOf(size_t bytes) {
        const size_t c = (bytes - 1) / ClassBytes;
        return c < Classes ? c : Classes;
    }
    // The bytes a block of class c < kClasses is allocated with.
    static size_t classBytes(size_t c) { return (c + 1) * ClassBytes; }

    // A kept block of class c < kClasses with its first `bytes` bytes zero-filled, or null.
    void* take(size_t c, size_t bytes) {
        void* p = takeAsLeft(c);
        if (p != nullptr) std::memset(p, 0, bytes);
        return p;
    }
    // The same with the contents its last user left: for a caller that writes every byte
    // it reads.
    void* takeAsLeft(size_t c) {
        void* p = heads_[c];
        if (p == nullptr) return nullptr;
        std::memcpy(&heads_[c], p, sizeof(void*));
        if (--counts_[c] == 0) held_ &= ~(uint64_t(1) << c);
        bytes_ -= classBytes(c);
        return p;
    }
    // Keeps p, a block of class c < kClasses.
    void keep(size_t c, void* p) {
        std::memcpy(p, &heads_[c], sizeof(void*));
        heads_[c] = p;
        counts_[c]++;
        held_ |= uint64_t(1) << c;
        bytes_ += classBytes(c);
    }
    size_t count(size_t c) const { return counts_[c]; }
    size_t bytes() const { return bytes_; }  // held in all classes
    // Frees every kept block; the freelist is empty again. Only the classes that hold
    // blocks are visited (and their lines read): the arena empties its spares after every
    // call.
    void freeAll() {
        for (uint64_t held = held_; held != 0; held &= held - 1) {
            const size_t c = size_t(__builtin_ctzll(held));
            while (void* p = heads_[c]) {
                std::memcpy(&heads_[c], p, sizeof(void*));
                std::free(p);
            }
            counts_[c] = 0;
        }
        held_ = 0;
        bytes_ = 0;
    }

private:
    void* heads_[Classes] = {};
    unsigned counts_[Classes] = {};  // blocks per class
    uint64_t held_ = 0;              // bit c: class c holds a block
    size_t bytes_ = 0;               // classBytes of every block kept
};

}  // namespace movra
