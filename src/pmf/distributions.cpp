// Standard distributions as arena PMFs. The floating-point expressions keep their written
// order and grouping: the parentheses are load-bearing, results are expected to match to
// the last bit, so do not regroup them. Scratch tables are heap memory held by RAII
// owners, released also while an exception passes.
#include "distributions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "accumulator.h"

namespace movra {

Pmf* allocateSupport(MovraObject* obj, int64_t offset, int64_t length) {
    if (length > INT32_MAX) {
        movraMalloc(obj, recordBytes(offsetof(Pmf, simple.elements), length, sizeof(Real)));
        fail(msg::OutOfMemory);  // not reached: the request exceeds kMaxBlockBytes
    }
    return allocateSimplePmf(obj, int(offset), int(length));
}

// A NaN fails both clamping comparisons; it is refused rather than spread into the PMF.
Pmf* bernoulli(MovraObject* obj, Real p) {
    if (p <= 0) return createAtomicSimplePmf(obj, 0);
    if (p >= 1) return createAtomicSimplePmf(obj, 1);
    if (std::isnan(p)) fail(msg::InvalidValue);
    Pmf* pmf = allocateSimplePmf(obj, 0, 2);
    pmf->simple.elements[0] = 1 - p;
    pmf->simple.elements[1] = p;
    return pmf;
}

// Clamped probabilities give the atomic PMFs for any n; only the recursion itself needs
// n >= 0 and a number for p, and refuses anything else.
Pmf* binomial(MovraObject* obj, Int n, Real p) {
    if (p <= 0) return createAtomicSimplePmf(obj, 0);
    if (p >= 1) return createAtomicSimplePmf(obj, n);
    if (std::isnan(p) || n < 0) fail(msg::InvalidValue);
    Pmf* pmf = allocateSupport(obj, 0, int64_t(n) + 1);
    IntegerLogs logs;
    Int length;
    BinomialRecursion(p).write(n, logs.upTo(n), pmf->simple.elements, length);
    return pmf;
}

namespace {
// log(k) for k = 1 .. kSharedLogs, formed once for the process (a thread-safe static).
constexpr Int kSharedLogs = 256;
struct SharedLogs {
    Real log[kSharedLogs + 1];
    SharedLogs() {
        log[0] = 0;  // unused
        for (Int k = 1; k <= kSharedLogs; k++) log[k] = std::log(Real(k));
    }
};
}  // namespace

const Real* IntegerLogs::upTo(Int n) {
    if (n <= kSharedLogs) {
        static const SharedLogs shared;
        return shared.log;
    }
    if (n > formed_) {
        if (int64_t(n) >= logs_.size()) {
            ScratchBuffer<Real> larger(std::max<int64_t>(int64_t(n) + 1, 2 * logs_.size()));
            for (Int k = 1; k <= formed_; k++) larger[k] = logs_[k];
            logs_ = std::move(larger);
        }
        for (Int k = formed_ + 1; k <= n; k++) logs_[k] = std::log(Real(k));
        formed_ = n;
    }
    return logs_.get();
}

BinomialRecursion::BinomialRecursion(Real p) : p_(p) {
    if (p > 0 && p < 1) {
        Real logP = std::log(p);
        logQ_ = std::log(1 - p);
        logRatio_ = logP - logQ_;
    }
}

// The one binomial recursion: x_0 = n log(1 - p), x_i = ((log(n + 1 - i) + log(p / (1 - p)))
// - log(i)) + x_{i-1}, entry i = exp(x_i); each log(k) read from logs.
Int BinomialRecursion::write(Int n, const Real* logs, Real* out, Int& length) const {
    length = 1;
    out[0] = 1.0;
    if (p_ <= 0) return 0;
    if (p_ >= 1) return n;
    if (std::isnan(p_) || n < 0) fail(msg::InvalidValue);
    if (n == 0) return 0;  // exp(0 * logQ) = exp(-0) is exactly 1
    Real x = Real(n) * logQ_;
    out[0] = std::exp(x);
    for (Int i = 1; i <= n; i++) {
        x = ((logs[int64_t(n) + 1 - i] + logRatio_) - logs[i]) + x;
        out[i] = std::exp(x);
    }
    length = n + 1;
    return 0;
}

void BinomialRecursion::writeRow(Int n, const Real* logs, Real* row) const {
    Int length;
    const Int first = write(n, logs, row, length);
    if (first == 0) {
        for (Int k = length; k <= n; k++) row[k] = 0.0;
        return;
    }
    // All mass at n (p >= 1): the one stored entry moves to its place.
    const Real atFirst = row[0];
    for (Int k = 0; k <= n; k++) row[k] = 0.0;
    row[first] = atFirst;
}

namespace {
// Open addressing over the bits of p; a table not found within a few slots replaces the
// one in its first slot. Plain heap blocks (not ScratchBuffer): the cache of scratch
// blocks, also thread-local, may be gone when this one is destroyed.
class BinomialTableCache : public BinomialTables {
public:
    const Real* of(Real p, Int maxTrials, IntegerLogs& logs) {
        uint64_t key;
        std::memcpy(&key, &p, sizeof key);
        const size_t home = size_t((key * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
        Entry* chosen = &slots_[home];
        for (size_t probe = 0; probe < kProbes; probe++) {
            Entry& e = slots_[(home + probe) & (kSlots - 1)];
            if (e.values && e.key == key) {
                if (e.trials >= maxTrials) return e.values.get();
                chosen = &e;
                break;
            }
            if (!e.values) {
                chosen = &e;
                break;
            }
        }
        return form(*chosen, key, p, maxTrials, logs);
    }

private:
    static constexpr int kSlotBits = 9;
    static constexpr size_t kSlots = size_t(1) << kSlotBits, kProbes = 8;
    struct Entry {
        uint64_t key = 0;
        Int trials = -1;  // values holds d = 0 .. trials
        size_t capacity = 0;
        std::unique_ptr<Real[]> values;
    };
    // A table is formed anew when more trials are asked of it than it holds.
    const Real* form(Entry& e, uint64_t key, Real p, Int trials, IntegerLogs& logs) {
        const size_t count = size_t(trials + 1) * size_t(trials + 2) / 2;
        if (e.capacity < count) {
            e.values.reset(new (std::nothrow) Real[count]);
            e.capacity = e.values ? count : 0;
            e.trials = -1;
            if (!e.values) return nullptr;
        }
        e.trials = -1;  // nothing valid until the table is whole
        const BinomialRecursion recursion(p);
        const Real* log = logs.upTo(trials);
        for (Int d = 0; d <= trials; d++)
            recursion.writeRow(d, log, e.values.get() + size_t(d) * size_t(d + 1) / 2);
        e.key = key;
        e.trials = trials;
        return e.values.get();
    }
    Entry slots_[kSlots];
};
}  // namespace

BinomialTables& BinomialTables::ofThisThread() {
    thread_local BinomialTableCache cache;
    return cache;
}

const Real* BinomialTables::find(Real p, Int maxTrials, IntegerLogs& logs) {
    if (maxTrials > kMaxTrials || std::isnan(p)) return nullptr;
    return static_cast<BinomialTableCache*>(this)->of(p, maxTrials, logs);
}

const Real* BinomialTables::of(Real p, Int maxTrials, IntegerLogs& logs) {
    if (maxTrials > kMaxTrials || std::isnan(p)) return nullptr;
    return ofThisThread().find(p, maxTrials, logs);
}

BinomialRuns::BinomialRuns(Real p, Int maxTrials)
    : p_(p),
      maxTrials_(maxTrials),
      recursion_(p),
      values_((int64_t(maxTrials) + 1) * (int64_t(maxTrials) + 2) / 2) {
    runs_.reset(int64_t(maxTrials) + 1);
}

void BinomialRuns::reset(Real p) {
    p_ = p;
    tried_ = tabled_ = false;
    recursion_ = BinomialRecursion(p);
    runs_.forget();
}

// The kept table, when there is one, is copied whole at the first use: its rows hold the
// values write() stores at the same places, 0 elsewhere, which PmfRun::of leaves out
// just as it leaves out the ends write() does not store.
PmfRun BinomialRuns::form(Int d) {
    Real* out = values_.get() + int64_t(d) * (int64_t(d) + 1) / 2;
    if (!tried_) {
        tried_ = true;
        if (const Real* kept = BinomialTables::of(p_, maxTrials_, logs_)) {
            std::memcpy(values_.get(), kept, size_t(values_.size()) * sizeof(Real));
            tabled_ = true;
        }
    }
    if (tabled_) return PmfRun::of(out, 0, d + 1);
    Int length;
    Int first = recursion_.write(d, logs_.upTo(d), out, length);
    return PmfRun::of(out, first, length);
}

}  // namespace movra
