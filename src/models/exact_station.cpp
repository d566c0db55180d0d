#include "exact_station.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <optional>

#include "../pmf/distributions.h"
#include "../pmf/pmf_query.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/scratch.h"
#include "station_map.h"

namespace movra {

// ---- records ------------------------------------------------------------------------------

namespace {

constexpr size_t kStateHead = offsetof(ExactState, groups);

int64_t evenUp(int64_t n) { return (n + 1) & ~int64_t(1); }

// Room for n elements, doubling while small: a growing state asks a little more at every
// step, and a small vector sized exactly would be taken fresh from the allocator each time.
// Large ones are left to exact sizes: doubled, the 11,288-state chain's 50 steps took 10 %
// longer (more of its scratch newly mapped).
template <class V>
void roomFor(V& v, size_t n) {
    constexpr size_t kSmallBytes = 16 * 1024;
    if (n > v.capacity() && n * sizeof(typename V::value_type) <= kSmallBytes)
        v.reserve(
            std::max(n, std::min(2 * v.capacity(), kSmallBytes / sizeof(typename V::value_type))));
}

// Bytes of a state record, or more than the block cap (refused by movraMalloc).
size_t stateBytes(int64_t groups, int64_t keys, int64_t states) {
    const int64_t cap = int64_t(kMaxBlockBytes);
    if (groups < 0 || keys < 0 || states < 0 || groups > cap / int64_t(sizeof(ExactGroup)) ||
        keys > cap / int64_t(sizeof(Int)) || states > cap / int64_t(sizeof(Real)))
        return kMaxBlockBytes + 1;
    int64_t bytes = int64_t(kStateHead) + groups * int64_t(sizeof(ExactGroup)) +
                    evenUp(keys) * int64_t(sizeof(Int)) + states * int64_t(sizeof(Real));
    // A small record asked for in steps of 64 bytes: a state growing by a value or two a
    // step then fits the block its predecessor freed, which the arena keeps by 16-byte
    // class for the next call.
    if (bytes < 1024) bytes = (bytes + 63) & ~int64_t(63);
    return bytes > cap ? kMaxBlockBytes + 1 : size_t(bytes);
}

}  // namespace

ExactState* allocateExactState(MovraObject* obj, Int groups, int64_t keys, int64_t states) {
    auto* s = static_cast<ExactState*>(movraMalloc(obj, stateBytes(groups, keys, states)));
    s->groupCount = groups;
    s->keyCount = keys;
    s->stateCount = states;
    s->layout = s;
    return s;
}

ExactState* allocateSharingLayout(MovraObject* obj, ExactState* layout) {
    auto* s = static_cast<ExactState*>(movraMalloc(obj, stateBytes(0, 0, layout->stateCount)));
    s->groupCount = layout->groupCount;
    s->maxRemaining = layout->maxRemaining;
    s->keyCount = layout->keyCount;
    s->stateCount = layout->stateCount;
    s->epoch = layout->epoch;
    s->layout = layout;
    return s;
}

Int* keysOf(ExactState* s) {
    ExactState* l = s->layout;
    return reinterpret_cast<Int*>(static_cast<ExactGroup*>(l->groups) + l->groupCount);
}

Real* probabilitiesOf(ExactState* s) {
    if (s->layout != s) return reinterpret_cast<Real*>(static_cast<ExactGroup*>(s->groups));
    return reinterpret_cast<Real*>(keysOf(s) + evenUp(s->keyCount));
}

void flag(ExactState* s) {
    if (s == nullptr) return;
    flagBlock(s);
    flagBlock(s->layout);
}

void flag(ExactFreshDraws* f) {
    if (f == nullptr) return;
    flagBlock(f);
    flag(f->service);
}

FreshDrawsOfK freshDrawsOf(ExactFreshDraws* f, Int k) {
    const int64_t* offsets = f->offsets;
    const int64_t* keyOffsets = offsets + f->maxStarters + 2;
    const int64_t total = offsets[f->maxStarters + 1];
    const Real* probabilities = reinterpret_cast<const Real*>(keyOffsets + f->maxStarters + 1);
    const Int* keys = reinterpret_cast<const Int*>(probabilities + total);
    return FreshDrawsOfK{offsets[k + 1] - offsets[k], keys + keyOffsets[k],
                         probabilities + offsets[k]};
}

int64_t multisetCount(int64_t k, int64_t m) {
    if (m <= 0) return k == 0 ? 1 : 0;
    // C(k + m - 1, m - 1), built as C(k + i, i) for i = 1 .. m - 1: each product divides.
    int64_t r = 1;
    for (int64_t i = 1; i < m; i++) {
        if (double(r) * double(k + i) > 9.0e18) return INT64_MAX;
        r = r * (k + i) / i;
    }
    return r;
}

void checkKeyBudget(int64_t keys, int64_t maxStates) {
    if (double(keys) > double(kKeysPerState) * double(maxStates)) fail(msg::OutOfMemory);
}

void checkScratchBudget(int64_t values, int64_t maxStates) {
    if (double(values) > double(kScratchPerState) * double(maxStates)) fail(msg::OutOfMemory);
}

[[noreturn]] void failStateLimit(int64_t needed, bool atLeast, int64_t maxStates) {
    // The one message carrying numbers: formatted into storage of this thread, read by the
    // call protocol (on this thread) before anything else can fail.
    thread_local char text[256];
    std::snprintf(text, sizeof text,
                  "ExactMultiserver needs %s%lld states, more than max_states = %lld. Raise "
                  "max_states, or use StandardMultiserver, whose state stays small.",
                  atLeast ? "at least " : "", static_cast<long long>(needed),
                  static_cast<long long>(maxStates));
    fail(text);
}

// ---- multiset index -----------------------------------------------------------------------

uint64_t MultisetIndex::hashOf(const Int* key, Int length) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ uint64_t(length);
    for (Int i = 0; i < length; i++) {
        h ^= uint64_t(uint32_t(key[i]));
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    return h;
}

void MultisetIndex::grow() {
    const size_t n = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(n, -1);
    for (Int id = 0; id < size(); id++) {
        size_t s = size_t(hash_[size_t(id)]) & (n - 1);
        while (slots_[s] >= 0) s = (s + 1) & (n - 1);
        slots_[s] = id;
    }
}

Int MultisetIndex::find(const Int* key, Int length) const {
    if (slots_.empty()) return -1;
    const uint64_t h = hashOf(key, length);
    const size_t mask = slots_.size() - 1;
    for (size_t s = size_t(h) & mask;; s = (s + 1) & mask) {
        const Int id = slots_[s];
        if (id < 0) return -1;
        if (hash_[size_t(id)] == h && length_[size_t(id)] == length &&
            std::equal(key, key + length, this->key(id)))
            return id;
    }
}

void MultisetIndex::reserve(size_t multisets) {
    pool_.reserve(4 * multisets);
    start_.reserve(multisets);
    length_.reserve(multisets);
    hash_.reserve(multisets);
}

void MultisetIndex::clear() {
    pool_.clear();
    start_.clear();
    length_.clear();
    hash_.clear();
    std::fill(slots_.begin(), slots_.end(), -1);
}

size_t MultisetIndex::heapBytes() const {
    return pool_.capacity() * sizeof(Int) + start_.capacity() * sizeof(int64_t) +
           length_.capacity() * sizeof(Int) + hash_.capacity() * sizeof(uint64_t) +
           slots_.capacity() * sizeof(Int);
}

Int MultisetIndex::insert(const Int* key, Int length) {
    if (size_t(size()) * 2 >= slots_.size()) grow();
    const uint64_t h = hashOf(key, length);
    const size_t mask = slots_.size() - 1;
    size_t s = size_t(h) & mask;
    for (;; s = (s + 1) & mask) {
        const Int id = slots_[s];
        if (id < 0) break;
        if (hash_[size_t(id)] == h && length_[size_t(id)] == length &&
            std::equal(key, key + length, this->key(id)))
            return id;
    }
    if (size() == INT32_MAX) fail(msg::OutOfMemory);
    const Int id = size();
    slots_[s] = id;
    start_.push_back(int64_t(pool_.size()));
    pool_.insert(pool_.end(), key, key + length);
    length_.push_back(length);
    hash_.push_back(h);
    return id;
}

// ---- shared pieces ------------------------------------------------------------------------

namespace {

using Runs = ExactRuns;

}  // namespace

void ExactRuns::widen(Int id, int64_t zlo, int64_t zhi) {
    if (size_t(id) == lo.size()) {
        lo.push_back(zlo);
        hi.push_back(zhi);
        return;
    }
    lo[size_t(id)] = std::min(lo[size_t(id)], zlo);
    hi[size_t(id)] = std::max(hi[size_t(id)], zhi);
}

int64_t ExactRuns::states() const {
    int64_t n = 0;
    for (size_t i = 0; i < lo.size(); i++) n += hi[i] - lo[i] + 1;
    return n;
}

int64_t ExactRuns::place() {
    roomFor(start, lo.size());
    start.resize(lo.size());
    int64_t n = 0;
    for (size_t i = 0; i < lo.size(); i++) {
        start[i] = n;
        n += hi[i] - lo[i] + 1;
    }
    return n;
}

void ExactRuns::lay(int64_t gap) {
    pad = gap;
    roomFor(start, lo.size());
    start.resize(lo.size());
    int64_t n = gap;
    for (size_t i = 0; i < lo.size(); i++) {
        start[i] = n;
        n += hi[i] - lo[i] + 1 + gap;
    }
    roomFor(p, size_t(n));
    p.assign(size_t(n), 0.0);
}

namespace {

// The record of runs divided by total, each trimmed of zero ends; runs left empty go.
// Run i holds the multiset key(i) of length(i), with lasting number id(i) in the
// landscape of epoch (0: none). A step scales by 1 / total instead: a quotient per state
// costs more than the rest of the packing, and the two differ by an ulp at most.
template <class Key, class Length, class Id>
ExactState* pack(MovraObject* obj, Int n, Key key, Length length, Id id, const Runs& runs,
                 Real total, uint64_t epoch, bool scaled = false) {
    const Real scale = 1.0 / checkDenominator(total);
    ScratchBuffer<int64_t> ends(2 * int64_t(n));
    int64_t* first = ends.get();
    int64_t* last = first + n;
    Int groups = 0;
    int64_t keys = 0, states = 0;
    for (Int i = 0; i < n; i++) {
        const Real* p = runs.p.data() + runs.start[size_t(i)];
        int64_t a = 0, b = runs.hi[size_t(i)] - runs.lo[size_t(i)];
        while (a <= b && !(p[a] > 0)) a++;
        while (b >= a && !(p[b] > 0)) b--;
        first[size_t(i)] = a;
        last[size_t(i)] = b;
        if (a > b) continue;
        groups++;
        keys += length(i);
        states += b - a + 1;
    }
    if (groups == 0) fail(msg::EmptyPmf);
    ExactState* s = allocateExactState(obj, groups, keys, states);
    ExactGroup* g = groupsOf(s);
    Int* k = keysOf(s);
    Real* q = probabilitiesOf(s);
    int64_t keyAt = 0, probAt = 0;
    Int maxRemaining = 0;
    for (Int i = 0; i < n; i++) {
        const int64_t a = first[size_t(i)], b = last[size_t(i)];
        if (a > b) continue;
        const Int len = length(i);
        const Int* times = key(i);
        std::copy(times, times + len, k + keyAt);
        if (len > 0) maxRemaining = std::max(maxRemaining, times[len - 1]);
        *g = ExactGroup{keyAt, probAt, len, Int(runs.lo[size_t(i)] + a), Int(b - a + 1), id(i)};
        const Real* p = runs.p.data() + runs.start[size_t(i)];
        if (scaled)
            for (int64_t j = a; j <= b; j++) q[probAt++] = p[j] * scale;
        else
            for (int64_t j = a; j <= b; j++) q[probAt++] = p[j] / total;
        keyAt += len;
        g++;
    }
    s->maxRemaining = maxRemaining;
    s->epoch = epoch;
    return s;
}

ExactState* pack(MovraObject* obj, const MultisetIndex& index, const Runs& runs, Real total) {
    return pack(
        obj, index.size(), [&](Int i) { return index.key(i); },
        [&](Int i) { return index.length(i); }, [](Int) { return Int(-1); }, runs, total, 0);
}

// Positive values of a simple PMF, with their probabilities.
void supportOf(Pmf* pmf, std::vector<Int>& values, std::vector<Real>& probabilities) {
    for (Int i = 0; i < pmf->simple.length; i++) {
        if (!(pmf->simple.elements[i] > 0)) continue;
        values.push_back(pmf->simple.offset + i);
        probabilities.push_back(pmf->simple.elements[i]);
    }
}

Real integerPower(Real x, Int n) {
    Real r = 1.0;
    for (Int i = 0; i < n; i++) r *= x;
    return r;
}

// Visits every multiset of k values of the support (ascending keys, in lexicographic
// order) with its multinomial probability.
template <class Visit>
void enumerateDraws(const std::vector<Int>& values, const std::vector<Real>& probabilities, Int k,
                    Visit&& visit) {
    const Int m = Int(values.size());
    std::vector<Int> index(static_cast<size_t>(k), 0), key(static_cast<size_t>(k)),
        counts(static_cast<size_t>(m));
    // Up to 20 draws the coefficient is an exact integer; beyond, it is formed in logs.
    constexpr Int kExactDraws = 20;
    std::vector<Real> logs;
    Real logKFactorial = 0;
    if (k > kExactDraws) {
        logs.resize(static_cast<size_t>(m));
        for (Int i = 0; i < m; i++) logs[size_t(i)] = std::log(probabilities[size_t(i)]);
        logKFactorial = std::lgamma(Real(k) + 1);
    }
    for (;;) {
        std::fill(counts.begin(), counts.end(), 0);
        for (Int j = 0; j < k; j++) {
            key[size_t(j)] = values[size_t(index[size_t(j)])];
            counts[size_t(index[size_t(j)])]++;
        }
        Real probability;
        if (k <= kExactDraws) {
            uint64_t coefficient = 1;
            Int left = k;
            probability = 1.0;
            for (Int i = 0; i < m; i++) {
                const Int n = counts[size_t(i)];
                uint64_t binomial = 1;
                for (Int j = 0; j < n; j++)
                    binomial = binomial * uint64_t(left - j) / uint64_t(j + 1);
                coefficient *= binomial;
                left -= n;
                probability *= integerPower(probabilities[size_t(i)], n);
            }
            probability *= Real(coefficient);
        } else {
            Real log = logKFactorial;
            for (Int i = 0; i < m; i++) {
                const Int n = counts[size_t(i)];
                if (n > 0) log += Real(n) * logs[size_t(i)] - std::lgamma(Real(n) + 1);
            }
            probability = std::exp(log);
        }
        visit(key.data(), probability);
        Int j = k - 1;
        while (j >= 0 && index[size_t(j)] == m - 1) j--;
        if (j < 0) return;
        const Int next = index[size_t(j)] + 1;
        for (Int i = j; i < k; i++) index[size_t(i)] = next;
    }
}

ExactFreshDraws* buildFreshDraws(MovraObject* obj, Pmf* service, Int maxStarters) {
    std::vector<Int> values;
    std::vector<Real> probabilities;
    supportOf(service, values, probabilities);
    const int64_t m = int64_t(values.size());
    std::vector<int64_t> offsets(size_t(maxStarters) + 2), keyOffsets(size_t(maxStarters) + 2);
    for (Int k = 0; k <= maxStarters; k++) {
        const int64_t count = multisetCount(k, m);
        if (count > (int64_t(kMaxBlockBytes) >> 3)) fail(msg::OutOfMemory);
        offsets[size_t(k) + 1] = offsets[size_t(k)] + count;
        keyOffsets[size_t(k) + 1] = keyOffsets[size_t(k)] + count * k;
        if (keyOffsets[size_t(k) + 1] > int64_t(kMaxBlockBytes)) fail(msg::OutOfMemory);
    }
    const int64_t total = offsets[size_t(maxStarters) + 1];
    const int64_t bytes = int64_t(offsetof(ExactFreshDraws, offsets)) +
                          (2 * int64_t(maxStarters) + 3) * int64_t(sizeof(int64_t)) +
                          total * int64_t(sizeof(Real)) +
                          keyOffsets[size_t(maxStarters) + 1] * int64_t(sizeof(Int));
    auto* f = static_cast<ExactFreshDraws*>(
        movraMalloc(obj, bytes > int64_t(kMaxBlockBytes) ? kMaxBlockBytes + 1 : size_t(bytes)));
    f->service = service;
    f->maxStarters = maxStarters;
    int64_t* o = f->offsets;
    std::copy(offsets.begin(), offsets.end(), o);
    std::copy(keyOffsets.begin(), keyOffsets.end() - 1, o + maxStarters + 2);
    for (Int k = 0; k <= maxStarters; k++) {
        FreshDrawsOfK d = freshDrawsOf(f, k);
        Int* keys = const_cast<Int*>(d.keys);
        Real* p = const_cast<Real*>(d.probabilities);
        int64_t e = 0;
        enumerateDraws(values, probabilities, k, [&](const Int* key, Real probability) {
            std::copy(key, key + k, keys + e * k);
            p[e++] = probability;
        });
    }
    return f;
}

// Binomial(n, q) for the entities that abandon, formed once per n within a step.
class AbandonmentLaws {
public:
    explicit AbandonmentLaws(Real q) : recursion_(q) {}
    const std::vector<Real>& of(Int n) {
        if (size_t(n) >= laws_.size()) laws_.resize(size_t(n) + 1);
        std::vector<Real>& law = laws_[size_t(n)];
        if (!law.empty()) return law;
        law.resize(size_t(n) + 1);
        recursion_.writeRow(n, logs_.upTo(n), law.data());
        return law;
    }

private:
    BinomialRecursion recursion_;
    IntegerLogs logs_;
    std::vector<std::vector<Real>> laws_;
};

// The number in system after the step's arrivals join, capacity permitting.
inline int64_t joined(int64_t z1, int64_t a, int64_t capacity) {
    if (capacity < 0) return z1 + a;
    return z1 + std::min(a, std::max<int64_t>(capacity - z1, 0));
}

// Completions and abandonments: each group's multiset shifted (servers at 1 done, the
// others one step less), the groups landing on one shifted multiset merged into one run
// (slot), z lowered by those who left. slotId[slot] is the shifted multiset's number.
// Adds each group's probabilities into its slot's run (laid out), z lowered by d.
void mergeRuns(ExactState* state, const std::vector<Int>& slots, const std::vector<Int>& done,
               Real abandonment, Runs& runs) {
    ExactGroup* groups = groupsOf(state);
    const Real* p = probabilitiesOf(state);
    const bool abandons = abandonment > 0;
    std::optional<AbandonmentLaws> laws;
    if (abandons) laws.emplace(abandonment);
    for (Int g = 0; g < state->groupCount; g++) {
        const ExactGroup& group = groups[g];
        const Int slot = slots[size_t(g)], d = done[size_t(g)];
        Real* run = runs.p.data() + runs.start[size_t(slot)];
        const int64_t lo = runs.lo[size_t(slot)] + d;  // run[z - lo] is z - d
        if (!abandons) {
            // Adding a zero leaves a sum of probabilities as it is: no test per value.
            const Real* src = p + group.probStart;
            Real* dst = run + (int64_t(group.zOffset) - lo);
            for (Int i = 0; i < group.length; i++) dst[i] += src[i];
            continue;
        }
        for (Int i = 0; i < group.length; i++) {
            const Real prob = p[group.probStart + i];
            if (!(prob > 0)) continue;
            const int64_t z = int64_t(group.zOffset) + i, waiting = z - group.busy;
            if (!abandons || waiting == 0) {
                run[z - lo] += prob;
                continue;
            }
            const std::vector<Real>& law = laws->of(Int(waiting));
            for (int64_t j = 0; j <= waiting; j++)
                if (law[size_t(j)] > 0) run[z - lo - j] += prob * law[size_t(j)];
        }
    }
}

// With gap > 0 the merged runs are laid apart by that many zeros, where that at most
// doubles their size (see joinGather).
void shiftAndMerge(ExactState* state, Real abandonment, int64_t maxStates,
                   ExactLandscape& landscape, std::vector<Int>& slotId, Runs& runs,
                   std::vector<Int>& slots, std::vector<Int>& done, std::vector<Int>& slotOf,
                   int64_t gap = 0) {
    ExactGroup* groups = groupsOf(state);
    const Int* keys = keysOf(state);
    const bool abandons = abandonment > 0;
    const bool numbered = state->epoch != 0 && state->epoch == landscape.epoch();
    roomFor(slots, size_t(state->groupCount));
    roomFor(done, size_t(state->groupCount));
    slots.resize(size_t(state->groupCount));
    done.resize(size_t(state->groupCount));
    slotOf.clear();
    for (Int g = 0; g < state->groupCount; g++) {
        const ExactGroup& group = groups[g];
        const Int id = numbered ? group.id : landscape.numberOf(keys + group.keyStart, group.busy);
        const Int h = landscape.shifted(id), d = landscape.done(id);
        if (size_t(h) >= slotOf.size()) {
            roomFor(slotOf, size_t(landscape.size()));
            slotOf.resize(size_t(landscape.size()), -1);
        }
        if (slotOf[size_t(h)] < 0) {
            slotOf[size_t(h)] = Int(slotId.size());
            slotId.push_back(h);
        }
        const Int slot = slotOf[size_t(h)];
        const int64_t zlo = group.zOffset, zhi = int64_t(group.zOffset) + group.length - 1;
        // With impatience everyone waiting may leave: down to the busy servers left.
        runs.widen(slot, abandons ? int64_t(group.busy) - d : zlo - d, zhi - d);
        slots[size_t(g)] = slot;
        done[size_t(g)] = d;
    }
    const int64_t states = runs.states();
    checkScratchBudget(states, maxStates);
    runs.lay(double(slotId.size() + 1) * double(gap) <= double(states) ? gap : 0);
    mergeRuns(state, slots, done, abandonment, runs);
}

// Smallest and largest positive value of a simple PMF (false if none).
bool rangeOf(Pmf* pmf, Int& low, Int& high) {
    Int a = 0, b = pmf->simple.length - 1;
    while (a <= b && !(pmf->simple.elements[a] > 0)) a++;
    while (b >= a && !(pmf->simple.elements[b] > 0)) b--;
    low = pmf->simple.offset + a;
    high = pmf->simple.offset + b;
    return a <= b;
}

// A simple PMF, zero-filled, in storage the caller keeps (a plan's: the thread's scratch
// cache costs a small step more than the tail points themselves), for the tail points of
// the next number in system.
class TailScratchPmf {
public:
    TailScratchPmf(Int offset, Int length, std::vector<Real>& storage) {
        const size_t head = (offsetof(Pmf, simple.elements) + sizeof(Real) - 1) / sizeof(Real);
        roomFor(storage, head + size_t(length));
        storage.assign(head + size_t(length), 0.0);
        pmf_ = reinterpret_cast<Pmf*>(storage.data());
        pmf_->pmfType = SIMPLE;
        pmf_->simple.offset = offset;
        pmf_->simple.length = length;
    }
    Pmf* pmf() const { return pmf_; }
    Real* elements() const { return pmf_->simple.elements; }

private:
    Pmf* pmf_;
};

// Merges two ascending keys.
void mergeKeys(const Int* a, Int na, const Int* b, Int nb, std::vector<Int>& out) {
    out.resize(size_t(na + nb));
    std::merge(a, a + na, b, b + nb, out.begin());
}

}  // namespace

// ---- the step -----------------------------------------------------------------------------

namespace {

// The step's arrivals: counts of positive probability, as offsets from the smallest.
struct ArrivalLaw {
    Int amin = 0, amax = 0;
    const Real* pa = nullptr;  // pa[a - amin]
    size_t count = 0;
    const Int* offsets = nullptr;  // [count]
    const Real* probabilities = nullptr;

    explicit ArrivalLaw(Pmf* arrivals) {
        if (!rangeOf(arrivals, amin, amax)) fail(msg::EmptyPmf);
        pa = arrivals->simple.elements + (amin - arrivals->simple.offset);
        const int64_t span = int64_t(amax) - amin + 1;
        // A narrow law in place: the scratch cache's thread-local lookups are a good share
        // of a small step.
        Int* o = inlineOffsets_;
        Real* q = inlineProbabilities_;
        if (span > kInline) {
            offsetBuffer_.reset(span);
            probabilityBuffer_.reset(span);
            o = offsetBuffer_.get();
            q = probabilityBuffer_.get();
        }
        for (Int a = 0; a <= amax - amin; a++)
            if (pa[a] > 0) {
                o[count] = a;
                q[count++] = pa[a];
            }
        offsets = o;
        probabilities = q;
    }
    ArrivalLaw(const ArrivalLaw&) = delete;
    ArrivalLaw& operator=(const ArrivalLaw&) = delete;

private:
    static constexpr int64_t kInline = 32;
    Int inlineOffsets_[kInline];
    Real inlineProbabilities_[kInline];
    ScratchBuffer<Int> offsetBuffer_;
    ScratchBuffer<Real> probabilityBuffer_;
};

// Each merged run convolved along z with the arrivals, into joinedRuns (laid out).
void joinArrivals(const Runs& after, const ArrivalLaw& law, int64_t capacity, Runs& joinedRuns) {
    const size_t arrivalCount = law.count;
    const Int* offsets = law.offsets;
    const Real* probabilities = law.probabilities;
    for (size_t i = 0; i < after.lo.size(); i++) {
        const int64_t lo = after.lo[i], len = after.hi[i] - lo + 1;
        const Real* src = after.p.data() + after.start[i];
        Real* dst = joinedRuns.p.data() + joinedRuns.start[i];
        const int64_t lo2 = joinedRuns.lo[i];
        for (int64_t j = 0; j < len; j++) {
            const Real prob = src[j];
            if (!(prob > 0)) continue;
            if (capacity < 0) {
                Real* out = dst + (lo + j + law.amin - lo2);
                for (size_t a = 0; a < arrivalCount; a++)
                    out[offsets[a]] += prob * probabilities[a];
            } else {
                // By the counts of positive probability: a count up to the top of the Int
                // range would overflow a loop over the range.
                for (size_t a = 0; a < arrivalCount; a++)
                    dst[joined(lo + j, int64_t(law.amin) + offsets[a], capacity) - lo2] +=
                        prob * probabilities[a];
            }
        }
    }
}

// The tail cut of the standard station, on the PMF of the new z once normalised.
void tailsOfMarginal(TailScratchPmf& marginal, Int& leftTail, Int& rightTail) {
    Real* m = marginal.elements();
    const Int n = marginal.pmf()->simple.length;
    Real total = 0;
    for (Int i = 0; i < n; i++) total += m[i];
    checkDenominator(total);
    for (Int i = 0; i < n; i++) m[i] /= total;
    stationTails(marginal.pmf(), leftTail, rightTail);
}

void tailsOf(const Runs& joinedRuns, int64_t zLow, int64_t zHigh, Int& leftTail, Int& rightTail,
             std::vector<Real>& storage, const std::vector<int32_t>* zOf = nullptr) {
    TailScratchPmf marginal(Int(zLow), Int(zHigh - zLow + 1), storage);
    Real* m = marginal.elements();
    if (zOf != nullptr && !zOf->empty()) {
        const int32_t* z = zOf->data();
        const Real* src = joinedRuns.p.data();
        for (size_t f = 0; f < zOf->size(); f++) m[z[f]] += src[f];
    } else {
        for (size_t i = 0; i < joinedRuns.lo.size(); i++) {
            const Real* src = joinedRuns.p.data() + joinedRuns.start[i];
            Real* dst = m + (joinedRuns.lo[i] - zLow);
            for (int64_t j = 0; j <= joinedRuns.hi[i] - joinedRuns.lo[i]; j++) dst[j] += src[j];
        }
    }
    tailsOfMarginal(marginal, leftTail, rightTail);
}

// The kept z of every merged run, trimmed to its positive ends.
void keptRanges(Runs& joinedRuns, Int leftTail, Int rightTail, std::vector<int64_t>& keepLo,
                std::vector<int64_t>& keepHi) {
    const size_t n = joinedRuns.lo.size();
    roomFor(keepLo, n);
    roomFor(keepHi, n);
    keepLo.resize(n);
    keepHi.resize(n);
    for (size_t i = 0; i < n; i++) {
        int64_t s = std::max<int64_t>(joinedRuns.lo[i], leftTail);
        int64_t e = std::min<int64_t>(joinedRuns.hi[i], rightTail);
        while (s <= e && !(joinedRuns.at(Int(i), s) > 0)) s++;
        while (e >= s && !(joinedRuns.at(Int(i), e) > 0)) e--;
        keepLo[i] = s;
        keepHi[i] = e;
    }
}

// Four partial sums: one chain of dependent adds would cost more than the scatter.
Real sumOf(const Real* p, size_t count) {
    Real sums[4] = {0, 0, 0, 0};
    size_t j = 0;
    for (; j + 4 <= count; j += 4)
        for (size_t lane = 0; lane < 4; lane++) sums[lane] += p[j + lane];
    for (; j < count; j++) sums[0] += p[j];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}
Real sumOf(const std::vector<Real>& p) { return sumOf(p.data(), p.size()); }

// The scatter's adds, in order.
void scatterInto(const ExactStepPlan& plan, const Real* src, Real* dst) {
    for (const ExactStepPlan::Scatter& op : plan.scatter) {
        const Real* from = src + op.from;
        Real* to = dst + op.to;
        const Real weight = op.weight;
        if (op.length == 1) {
            *to += *from * weight;
            continue;
        }
        for (int64_t j = 0; j < op.length; j++) to[j] += from[j] * weight;
    }
}

bool sameValues(const ExactStepPlan& plan, const ExactStepConfig& config) {
    const Pmf* a = config.arrivals;
    const Pmf* s = config.service;
    const Real* ae = a->simple.elements;
    const Real* se = s->simple.elements;
    return plan.servers == config.servers && plan.capacity == config.capacity &&
           plan.abandonment == config.abandonment && plan.maxStates == config.maxStates &&
           plan.arrivalsOffset == a->simple.offset && plan.serviceOffset == s->simple.offset &&
           plan.arrivals.size() == size_t(a->simple.length) &&
           plan.service.size() == size_t(s->simple.length) &&
           std::equal(plan.arrivals.begin(), plan.arrivals.end(), ae) &&
           std::equal(plan.service.begin(), plan.service.end(), se);
}

// A hash of a numbered state's shape (its groups' numbers and z ranges).
uint64_t shapeHash(ExactState* state) {
    // No epoch in it: a plan and the hashes it keeps are dropped whenever the epoch changes.
    uint64_t h = 0x9e3779b97f4a7c15ull;
    const ExactGroup* groups = groupsOf(state);
    for (Int g = 0; g < state->groupCount; g++) {
        const uint64_t v = (uint64_t(uint32_t(groups[g].id)) << 32) ^
                           (uint64_t(uint32_t(groups[g].zOffset)) << 16) ^
                           uint64_t(uint32_t(groups[g].length));
        h = (h ^ v) * 0xff51afd7ed558ccdull;
        h ^= h >> 29;
    }
    return h | 1;  // never 0, the hash of no numbered state
}

bool sameShape(ExactState* a, ExactState* b) {
    if (a->groupCount != b->groupCount || a->epoch != b->epoch) return false;
    const ExactGroup* ga = groupsOf(a);
    const ExactGroup* gb = groupsOf(b);
    for (Int g = 0; g < a->groupCount; g++)
        if (ga[g].id != gb[g].id || ga[g].zOffset != gb[g].zOffset || ga[g].length != gb[g].length)
            return false;
    return true;
}

bool hasShape(ExactState* state, const std::vector<ExactStepPlan::Shape>& shape) {
    if (size_t(state->groupCount) != shape.size()) return false;
    const ExactGroup* groups = groupsOf(state);
    for (Int g = 0; g < state->groupCount; g++)
        if (!(ExactStepPlan::Shape{groups[g].id, groups[g].zOffset, groups[g].length} ==
              shape[size_t(g)]))
            return false;
    return true;
}

// Positions in joinedRuns of the single z (below c, where the number starting grows with
// z) that start servers, in the order the scatter visits them.
void singlesOf(Runs& joinedRuns, const std::vector<int64_t>& keepLo,
               const std::vector<int64_t>& keepHi, const std::vector<Int>& runBusy, Int c,
               std::vector<int64_t>& out) {
    out.clear();
    for (size_t i = 0; i < joinedRuns.lo.size(); i++) {
        const int64_t s = keepLo[i], e = keepHi[i];
        if (s > e || runBusy[i] >= c) continue;
        for (int64_t z = s; z <= std::min<int64_t>(e, int64_t(c) - 1); z++)
            if (joinedRuns.at(Int(i), z) > 0)
                out.push_back(joinedRuns.start[i] + z - joinedRuns.lo[i]);
    }
}

// The arrivals' adds by the flat map of a plan, in the full step's order. The law is
// copied to locals of a size known at compile time: read through its arrays, it would be
// reloaded for every add (the output might alias them).
template <int N, bool Contiguous>
void joinFlatOf(const std::vector<int32_t>& joinTo, const ArrivalLaw& law, const Real* src,
                Real* dst) {
    Int offsets[N];
    Real weights[N];
    for (int a = 0; a < N; a++) {
        offsets[a] = law.offsets[a];
        weights[a] = law.probabilities[a];
    }
    const int32_t* to = joinTo.data();
    const size_t count = joinTo.size();
    for (size_t f = 0; f < count; f++) {
        const Real prob = src[f];
        if (!(prob > 0)) continue;
        Real* out = dst + to[f];
        for (int a = 0; a < N; a++) out[Contiguous ? a : offsets[a]] += prob * weights[a];
    }
}

template <int N>
bool joinFlatUpTo(const std::vector<int32_t>& joinTo, const ArrivalLaw& law, const Real* src,
                  Real* dst) {
    if constexpr (N == 0) {
        return false;
    } else {
        if (law.count != size_t(N)) return joinFlatUpTo<N - 1>(joinTo, law, src, dst);
        bool contiguous = true;
        for (int a = 0; a < N; a++) contiguous = contiguous && law.offsets[a] == a;
        if (contiguous)
            joinFlatOf<N, true>(joinTo, law, src, dst);
        else
            joinFlatOf<N, false>(joinTo, law, src, dst);
        return true;
    }
}

void joinFlat(const std::vector<int32_t>& joinTo, const ArrivalLaw& law, const Real* src,
              Real* dst) {
    if (joinFlatUpTo<8>(joinTo, law, src, dst)) return;
    const size_t arrivalCount = law.count;
    const Int* offsets = law.offsets;
    const Real* probabilities = law.probabilities;
    for (size_t f = 0; f < joinTo.size(); f++) {
        const Real prob = src[f];
        if (!(prob > 0)) continue;
        Real* out = dst + joinTo[f];
        for (size_t a = 0; a < arrivalCount; a++) out[offsets[a]] += prob * probabilities[a];
    }
}

// The arrivals joined output by output: each joined value summed in a register from the
// merged values it receives, in the order the scattering adds of joinArrivals would add
// them (ascending source), so with the same bits (its skipped zeros add nothing), and
// added to the marginal of z (from zLow) in the order of tailsOf. No capacity: joined run
// i spans merged run i shifted by every arrival count. The merged runs have the arrivals'
// span of zeros on each side (adding those adds nothing).
template <int N>
void joinGatherOf(const Runs& after, Runs& joined, const Int* offsets, const Real* weights,
                  Int count, int64_t zLow, Real* marginal) {
    const Int n = N > 0 ? N : count;
    const Int span = offsets[n - 1];
    for (size_t i = 0; i < after.lo.size(); i++) {
        const Real* src = after.p.data() + after.start[i];
        Real* dst = joined.p.data() + joined.start[i];
        Real* m = marginal + (joined.lo[i] - zLow);
        const int64_t len = after.hi[i] - after.lo[i] + 1;
        for (int64_t k = 0; k < len + span; k++) {
            Real sum = 0;
            for (Int a = n - 1; a >= 0; a--) sum += src[k - offsets[a]] * weights[a];
            dst[k] = sum;
            m[k] += sum;
        }
    }
}

void joinGather(const Runs& after, Runs& joined, const ArrivalLaw& law, int64_t zLow,
                Real* marginal) {
    const Int* offsets = law.offsets;
    const Real* weights = law.probabilities;
    const Int count = Int(law.count);
    switch (count) {
        case 1: return joinGatherOf<1>(after, joined, offsets, weights, count, zLow, marginal);
        case 2: return joinGatherOf<2>(after, joined, offsets, weights, count, zLow, marginal);
        case 3: return joinGatherOf<3>(after, joined, offsets, weights, count, zLow, marginal);
        case 4: return joinGatherOf<4>(after, joined, offsets, weights, count, zLow, marginal);
        default: return joinGatherOf<0>(after, joined, offsets, weights, count, zLow, marginal);
    }
}

// A plan's runs for one replay, zeroed.
class LentRuns {
public:
    explicit LentRuns(Runs& runs, bool zeroed = true) : runs(runs) {
        if (zeroed) std::fill(runs.p.begin(), runs.p.end(), 0.0);
    }
    Runs& runs;
};

// The step by the plan of the last full step, with the same operations in the same order
// (so the same bits), or null when the plan does not apply; then nothing has changed.
ExactState* replay(MovraObject* obj, ExactState* state, const ExactStepConfig& config,
                   ExactLandscape& landscape, ExactStepPlan& plan) {
    if (!plan.ready || state->epoch == 0 || state->epoch != plan.epoch ||
        plan.epoch != landscape.epoch() || !hasShape(state, plan.input) ||
        !sameValues(plan, config))
        return nullptr;
    // The adds of the full step, in its order, without walking its runs.
    LentRuns after(plan.after);
    if (plan.mergeTo.empty()) {
        mergeRuns(state, plan.slots, plan.done, config.abandonment, after.runs);
    } else {
        const Real* p = probabilitiesOf(state);
        const int32_t* to = plan.mergeTo.data();
        Real* dst = after.runs.p.data();
        for (int64_t q = 0; q < state->stateCount; q++)
            if (p[q] > 0) dst[to[q]] += p[q];
    }
    const ArrivalLaw arrivals(config.arrivals);
    // Every joined position is written by the gather: no zeros needed first.
    const bool gather = plan.gather;
    LentRuns joinedRuns(plan.joined, !gather);
    // What the full step decides from the values must come out as it did.
    Int leftTail, rightTail;
    if (gather) {
        TailScratchPmf marginal(Int(plan.zLow), Int(plan.zHigh - plan.zLow + 1),
                                plan.marginalScratch);
        joinGather(after.runs, joinedRuns.runs, arrivals, plan.zLow, marginal.elements());
        tailsOfMarginal(marginal, leftTail, rightTail);
    } else {
        if (plan.joinTo.empty())
            joinArrivals(after.runs, arrivals, config.capacity, joinedRuns.runs);
        else
            joinFlat(plan.joinTo, arrivals, after.runs.p.data(), joinedRuns.runs.p.data());
        tailsOf(joinedRuns.runs, plan.zLow, plan.zHigh, leftTail, rightTail, plan.marginalScratch,
                &plan.zOf);
    }
    if (leftTail != plan.leftTail || rightTail != plan.rightTail) return nullptr;
    if (plan.probes) {
        // The kept ranges and the single z are settled by the signs at these positions.
        const Real* p = joinedRuns.runs.p.data();
        for (const int32_t f : plan.positive)
            if (!(p[f] > 0)) return nullptr;
        for (const int32_t f : plan.zero)
            if (p[f] > 0) return nullptr;
    } else {
        keptRanges(joinedRuns.runs, leftTail, rightTail, plan.keepLoScratch, plan.keepHiScratch);
        if (plan.keepLoScratch != plan.keepLo || plan.keepHiScratch != plan.keepHi) return nullptr;
        singlesOf(joinedRuns.runs, plan.keepLo, plan.keepHi, plan.runBusy, config.servers,
                  plan.singlesScratch);
        if (plan.singlesScratch != plan.singles) return nullptr;
    }
    const Real* src = joinedRuns.runs.p.data();
    if (plan.direct) {
        // Into the record itself; pack's result whenever no run has a zero end.
        ExactState* s;
        if (plan.steady) {
            s = allocateSharingLayout(obj, state->layout);
        } else {
            s = allocateExactState(obj, Int(plan.groups.size()), int64_t(plan.keys.size()),
                                   plan.rows());
            std::copy(plan.groups.begin(), plan.groups.end(), groupsOf(s));
            std::copy(plan.keys.begin(), plan.keys.end(), keysOf(s));
            s->maxRemaining = plan.maxRemaining;
        }
        s->epoch = landscape.epoch();
        Real* q = probabilitiesOf(s);
        scatterInto(plan, src, q);
        bool ends = true;
        for (const ExactGroup& g : plan.groups)
            ends = ends && q[g.probStart] > 0 && q[g.probStart + g.length - 1] > 0;
        const Real total = sumOf(q, size_t(s->stateCount));
        if (ends) {
            const Real scale = 1.0 / checkDenominator(total);
            for (int64_t j = 0; j < s->stateCount; j++) q[j] = q[j] * scale;
            return s;
        }
        LentRuns next(plan.next);
        std::copy(q, q + s->stateCount, next.runs.p.begin());
        return pack(
            obj, Int(plan.targetId.size()),
            [&](Int t) { return landscape.key(plan.targetId[size_t(t)]); },
            [&](Int t) { return landscape.length(plan.targetId[size_t(t)]); },
            [&](Int t) { return plan.targetId[size_t(t)]; }, next.runs, total, landscape.epoch(),
            true);
    }
    LentRuns next(plan.next);
    scatterInto(plan, src, next.runs.p.data());
    return pack(
        obj, Int(plan.targetId.size()),
        [&](Int t) { return landscape.key(plan.targetId[size_t(t)]); },
        [&](Int t) { return landscape.length(plan.targetId[size_t(t)]); },
        [&](Int t) { return plan.targetId[size_t(t)]; }, next.runs, sumOf(next.runs.p),
        landscape.epoch(), true);
}

}  // namespace

ExactState* exactStationStep(MovraObject* obj, ExactState* state, const ExactStepConfig& config,
                             ExactFreshDraws*& fresh, ExactLandscape& landscape) {
    const Int c = config.servers;
    landscape.prepare(config.service, c, config.maxStates);
    ExactStepPlan& plan = landscape.plan();
    if (ExactState* result = replay(obj, state, config, landscape, plan)) return result;
    // The step works in the storage of the plan it replaces (emptied): a step of a small
    // state would otherwise spend most of its time in the allocator.
    plan.restart();

    std::vector<Int>&slotId = plan.slotIdScratch, &slots = plan.slots, &done = plan.done;
    // The runs after completions and abandonments, over z1, laid apart by zeros for the
    // join's gather where it is used: it pays for its zeros only where few counts arrive
    // (W1's sixteen lost 15 %).
    const ArrivalLaw arrivals(config.arrivals);
    const int64_t span = int64_t(arrivals.amax) - arrivals.amin;
    const bool few = config.capacity < 0 && arrivals.count <= 4 && span <= 4;
    Runs& after = plan.after;
    shiftAndMerge(state, config.abandonment, config.maxStates, landscape, slotId, after, slots,
                  done, plan.slotOfScratch, few ? span : 0);
    const Int n = Int(slotId.size());
    const bool gather = few && after.pad == span;

    // Arrivals join: each merged run convolved along z.
    Runs& joinedRuns = plan.joined;
    for (Int i = 0; i < n; i++) {
        const int64_t lo = joined(after.lo[size_t(i)], arrivals.amin, config.capacity);
        const int64_t hi = joined(after.hi[size_t(i)], arrivals.amax, config.capacity);
        if (hi > INT32_MAX) fail(msg::OutOfMemory);  // z must stay an Int
        joinedRuns.widen(i, lo, hi);
    }
    checkScratchBudget(joinedRuns.states(), config.maxStates);
    joinedRuns.lay();
    int64_t zLow = INT64_MAX, zHigh = -1;
    for (Int i = 0; i < n; i++) {
        zLow = std::min(zLow, joinedRuns.lo[size_t(i)]);
        zHigh = std::max(zHigh, joinedRuns.hi[size_t(i)]);
    }
    if (zHigh < 0) fail(msg::EmptyPmf);
    checkScratchBudget(zHigh - zLow + 1, config.maxStates);
    Int leftTail, rightTail;
    if (gather) {
        TailScratchPmf marginal(Int(zLow), Int(zHigh - zLow + 1), plan.marginalScratch);
        joinGather(after, joinedRuns, arrivals, zLow, marginal.elements());
        tailsOfMarginal(marginal, leftTail, rightTail);
    } else {
        joinArrivals(after, arrivals, config.capacity, joinedRuns);
        tailsOf(joinedRuns, zLow, zHigh, leftTail, rightTail, plan.marginalScratch);
    }

    // The kept z of every merged run, and the most servers that start in any of them.
    std::vector<int64_t>&keepLo = plan.keepLo, &keepHi = plan.keepHi;
    keptRanges(joinedRuns, leftTail, rightTail, keepLo, keepHi);
    std::vector<Int>& runBusy = plan.runBusy;
    roomFor(runBusy, size_t(n));
    runBusy.resize(size_t(n));
    Int maxStarters = 0;
    for (Int i = 0; i < n; i++) {
        const int64_t s = keepLo[size_t(i)], e = keepHi[size_t(i)];
        const Int busy = landscape.length(slotId[size_t(i)]);
        runBusy[size_t(i)] = busy;
        if (s <= e && busy < c)
            maxStarters = std::max(maxStarters, Int(std::min<int64_t>(e, c) - busy));
    }

    // The draws of the starters: the multisets of maxStarters draws alone outnumber the
    // limit, or the table is taken from the last step, or made (for every k <= c when
    // that is small, so that it serves the steps to come).
    const int64_t m = int64_t(landscape.serviceValues().size());
    const int64_t widest = multisetCount(maxStarters, m);
    if (widest > config.maxStates) failStateLimit(widest, true, config.maxStates);
    ExactFreshDraws* draws = fresh;
    if (draws == nullptr || draws->service != config.service || draws->maxStarters < maxStarters) {
        constexpr int64_t kSmallTable = 1 << 16;
        Int table = maxStarters;
        int64_t entries = 0;
        for (Int k = 0; k <= c && entries <= kSmallTable; k++) entries += multisetCount(k, m);
        if (entries <= kSmallTable) table = std::max(table, c);
        draws = buildFreshDraws(obj, config.service, table);
    }

    // Where each merged run goes: the multisets it lands on and their z, counted before
    // anything of that size is laid out. A run splits into single z below c, where the
    // number starting grows with z, and one slice from c up, where it is c - busy.
    // by lasting number: the next state's run, -1 none
    std::vector<Int>& targetOf = plan.targetOfScratch;
    // per run of the next state: its lasting number
    std::vector<Int>& targetId = plan.targetId;
    Runs& next = plan.next;
    int64_t nextKeys = 0;
    // the runs each (merged run, fresh multiset) feeds, in order
    std::vector<Int>& landing = plan.landingScratch;
    std::vector<FreshDrawsOfK>& drawsOfK = plan.drawsScratch;
    drawsOfK.resize(size_t(maxStarters) + 1);
    for (Int k = 0; k <= maxStarters; k++) drawsOfK[size_t(k)] = freshDrawsOf(draws, k);
    auto visit = [&](Int i, Int k, int64_t zs, int64_t ze) {
        const FreshDrawsOfK& d = drawsOfK[size_t(k)];
        // No starter: the multiset lands on itself.
        const Int* targets =
            k == 0 ? &slotId[size_t(i)] : landscape.landing(slotId[size_t(i)], k, d);
        if (targetOf.size() < size_t(landscape.size())) {
            roomFor(targetOf, size_t(landscape.size()));
            targetOf.resize(size_t(landscape.size()), -1);
        }
        for (int64_t e = 0; e < d.count; e++) {
            Int& t = targetOf[size_t(targets[e])];
            if (t < 0) {
                t = Int(targetId.size());
                targetId.push_back(targets[e]);
                nextKeys += landscape.length(targets[e]);
                checkKeyBudget(nextKeys, config.maxStates);
                if (int64_t(targetId.size()) > config.maxStates)
                    failStateLimit(int64_t(targetId.size()), true, config.maxStates);
            }
            next.widen(t, zs, ze);
            landing.push_back(t);
        }
    };
    auto slices = [&](auto&& single, auto&& run) {
        for (Int i = 0; i < n; i++) {
            const int64_t s = keepLo[size_t(i)], e = keepHi[size_t(i)];
            if (s > e) continue;
            const Int busy = runBusy[size_t(i)];
            const int64_t runStart = busy < c ? std::max<int64_t>(s, c) : s;
            for (int64_t z = s; z <= std::min(e, runStart - 1); z++)
                if (joinedRuns.at(i, z) > 0) single(i, Int(z - busy), z);
            if (runStart <= e) run(i, busy < c ? c - busy : 0, runStart, e);
        }
    };
    slices([&](Int i, Int k, int64_t z) { visit(i, k, z, z); },
           [&](Int i, Int k, int64_t s, int64_t e) { visit(i, k, s, e); });
    const int64_t needed = next.states();
    if (needed > config.maxStates) failStateLimit(needed, false, config.maxStates);

    // The next state's record, its runs in the order the landings found them: the scatter
    // adds straight into its probabilities (zero-filled). Only where a run ends in a zero
    // (an add that underflowed) is it packed from a copy instead.
    next.place();
    ExactState* result = allocateExactState(obj, Int(targetId.size()), nextKeys, needed);
    {
        ExactGroup* g = groupsOf(result);
        Int* k = keysOf(result);
        int64_t keyAt = 0;
        Int maxRemaining = 0;
        for (size_t t = 0; t < targetId.size(); t++) {
            const Int len = landscape.length(targetId[t]);
            const Int* times = landscape.key(targetId[t]);
            std::copy(times, times + len, k + keyAt);
            if (len > 0) maxRemaining = std::max(maxRemaining, times[len - 1]);
            g[t] = ExactGroup{
                keyAt,      next.start[t], len, Int(next.lo[t]), Int(next.hi[t] - next.lo[t] + 1),
                targetId[t]};
            keyAt += len;
        }
        result->maxRemaining = maxRemaining;
        result->epoch = landscape.epoch();
    }
    // The scatter, in the order the landings were found: each (source, target, length,
    // weight) handed to emit. Walked again to record the adds only where a plan is kept.
    auto position = [](const Runs& runs, Int i, int64_t z) {
        return runs.start[size_t(i)] + z - runs.lo[size_t(i)];
    };
    auto scatterOps = [&](auto&& emit) {
        size_t at = 0;
        slices(
            [&](Int i, Int k, int64_t z) {
                const FreshDrawsOfK& d = drawsOfK[size_t(k)];
                const int64_t from = position(joinedRuns, i, z);
                for (int64_t e = 0; e < d.count; e++)
                    emit(from, position(next, landing[at++], z), int64_t(1), d.probabilities[e]);
            },
            [&](Int i, Int k, int64_t s, int64_t e) {
                const FreshDrawsOfK& d = drawsOfK[size_t(k)];
                const int64_t from = position(joinedRuns, i, s);
                for (int64_t f = 0; f < d.count; f++)
                    emit(from, position(next, landing[at++], s), e - s + 1, d.probabilities[f]);
            });
    };
    Real* q = probabilitiesOf(result);
    scatterOps([&](int64_t from, int64_t to, int64_t len, Real weight) {
        const Real* src = joinedRuns.p.data() + from;
        Real* dst = q + to;
        if (len == 1) {
            *dst += *src * weight;
            return;
        }
        for (int64_t j = 0; j < len; j++) dst[j] += src[j] * weight;
    });
    bool ends = true;
    for (size_t t = 0; t < targetId.size(); t++)
        ends = ends && q[next.start[t]] > 0 && q[next.start[t] + next.hi[t] - next.lo[t]] > 0;
    const Real total = sumOf(q, size_t(needed));
    if (!ends) roomFor(next.p, size_t(needed));
    next.p.assign(ends ? 0 : size_t(needed), 0.0);
    if (ends) {
        const Real scale = 1.0 / checkDenominator(total);
        for (int64_t j = 0; j < needed; j++) q[j] = q[j] * scale;
    } else {
        std::copy(q, q + needed, next.p.begin());
        result = pack(
            obj, Int(targetId.size()), [&](Int t) { return landscape.key(targetId[size_t(t)]); },
            [&](Int t) { return landscape.length(targetId[size_t(t)]); },
            [&](Int t) { return targetId[size_t(t)]; }, next, total, landscape.epoch(), true);
    }
    std::vector<ExactStepPlan::Scatter>& scatter = plan.scatter;

    // The plan for the next step, kept only for a state the landscape numbers (the next
    // step's input shape is then known by those numbers), and only where it may serve: a
    // replay needs an input of this step's input shape, which the next step has once the
    // support holds still, and a step from this same input again (a loop that restores a
    // saved state) has. Recording is a good share of a small state's step.
    const bool numbered = state->epoch != 0 && state->epoch == landscape.epoch();
    const uint64_t shape = numbered ? shapeHash(state) : 0;
    const bool again = numbered && shape == plan.lastShape;
    plan.lastShape = shape;
    if (numbered && (again || sameShape(result, state))) {
        const ExactGroup* groups = groupsOf(state);
        plan.input.resize(size_t(state->groupCount));
        for (Int g = 0; g < state->groupCount; g++)
            plan.input[size_t(g)] =
                ExactStepPlan::Shape{groups[g].id, groups[g].zOffset, groups[g].length};
        plan.epoch = state->epoch;
        const Pmf* a = config.arrivals;
        const Pmf* sv = config.service;
        const Real* ae = a->simple.elements;
        const Real* se = sv->simple.elements;
        plan.arrivalsOffset = a->simple.offset;
        plan.arrivals.assign(ae, ae + a->simple.length);
        plan.serviceOffset = sv->simple.offset;
        plan.service.assign(se, se + sv->simple.length);
        plan.servers = c;
        plan.capacity = config.capacity;
        plan.abandonment = config.abandonment;
        plan.maxStates = config.maxStates;
        // The flat maps, where positions fit them.
        const bool small = int64_t(after.p.size()) < INT32_MAX &&
                           int64_t(joinedRuns.p.size()) < INT32_MAX &&
                           state->stateCount < INT32_MAX;
        // Without a capacity (merged runs laid apart) a replay joins output by output.
        plan.gather = small && gather;
        if (small && !(config.abandonment > 0)) {
            plan.mergeTo.resize(size_t(state->stateCount));
            for (Int g = 0; g < state->groupCount; g++) {
                const Int slot = slots[size_t(g)];
                for (Int i = 0; i < groups[g].length; i++)
                    plan.mergeTo[size_t(groups[g].probStart + i)] =
                        int32_t(after.start[size_t(slot)] + groups[g].zOffset + i -
                                done[size_t(g)] - after.lo[size_t(slot)]);
            }
        }
        if (small && config.capacity < 0 && !plan.gather) {
            plan.joinTo.resize(after.p.size());
            for (Int i = 0; i < n; i++)
                for (int64_t j = 0; j <= after.hi[size_t(i)] - after.lo[size_t(i)]; j++)
                    plan.joinTo[size_t(after.start[size_t(i)] + j)] =
                        int32_t(joinedRuns.start[size_t(i)] + after.lo[size_t(i)] + j +
                                arrivals.amin - joinedRuns.lo[size_t(i)]);
        }
        if (small) {
            plan.probes = true;
            const Real* jp = joinedRuns.p.data();
            for (Int i = 0; i < n; i++) {
                const int64_t base = joinedRuns.start[size_t(i)] - joinedRuns.lo[size_t(i)];
                const int64_t lo = std::max<int64_t>(joinedRuns.lo[size_t(i)], leftTail);
                const int64_t hi = std::min<int64_t>(joinedRuns.hi[size_t(i)], rightTail);
                const int64_t s = keepLo[size_t(i)], e = keepHi[size_t(i)];
                for (int64_t z = lo; z <= hi; z++) {
                    // What keptRanges reads: the zeros before s and after e, s and e.
                    const bool read = z < s || z > e || z == s || z == e;
                    // What singlesOf reads: every kept z below c where servers start.
                    const bool single = z >= s && z <= e && runBusy[size_t(i)] < c && z < c;
                    if (!read && !single) continue;
                    const int32_t f = int32_t(base + z);
                    (jp[f] > 0 ? plan.positive : plan.zero).push_back(f);
                }
            }
        }
        if (small && !plan.gather) {
            plan.zOf.resize(joinedRuns.p.size());
            for (Int i = 0; i < n; i++)
                for (int64_t j = 0; j <= joinedRuns.hi[size_t(i)] - joinedRuns.lo[size_t(i)]; j++)
                    plan.zOf[size_t(joinedRuns.start[size_t(i)] + j)] =
                        int32_t(joinedRuns.lo[size_t(i)] + j - zLow);
        }
        scatter.reserve(landing.size());
        scatterOps([&](int64_t from, int64_t to, int64_t len, Real weight) {
            scatter.push_back(ExactStepPlan::Scatter{from, to, len, weight});
        });
        singlesOf(joinedRuns, keepLo, keepHi, runBusy, c, plan.singles);
        plan.zLow = zLow;
        plan.zHigh = zHigh;
        plan.leftTail = leftTail;
        plan.rightTail = rightTail;
        plan.direct = result->groupCount == Int(targetId.size()) && result->stateCount == needed;
        next.p.resize(size_t(needed));  // a replay's runs before they are packed
        if (plan.direct) {
            plan.groups.assign(groupsOf(result), groupsOf(result) + result->groupCount);
            plan.keys.assign(keysOf(result), keysOf(result) + result->keyCount);
            plan.maxRemaining = result->maxRemaining;
            plan.steady = plan.groups.size() == plan.input.size();
            for (size_t g = 0; plan.steady && g < plan.groups.size(); g++)
                plan.steady = ExactStepPlan::Shape{plan.groups[g].id, plan.groups[g].zOffset,
                                                   plan.groups[g].length} == plan.input[g];
        }
        plan.ready = true;
    }
    plan.trim();
    fresh = draws;
    return result;
}

// ---- the landscape ------------------------------------------------------------------------

namespace {
uint64_t newEpoch() {
    static std::atomic<uint64_t> epochs{0};
    return ++epochs;
}
}  // namespace

std::unique_ptr<ExactLandscape> ExactLandscape::renumberedCopy() const {
    if (epoch_ == 0) return nullptr;
    auto copy = std::make_unique<ExactLandscape>(*this);
    copy->epoch_ = newEpoch();
    if (copy->plan_.epoch == epoch_) copy->plan_.epoch = copy->epoch_;
    return copy;
}

bool numberLike(ExactState* to, ExactState* from, uint64_t fromEpoch, uint64_t epoch) {
    if (to == nullptr || from == nullptr || to->epoch != 0 || to->layout != to ||
        from->epoch == 0 || from->epoch != fromEpoch || to->groupCount != from->groupCount ||
        to->keyCount != from->keyCount || to->stateCount != from->stateCount)
        return false;
    ExactGroup* gt = groupsOf(to);
    const ExactGroup* gf = groupsOf(from);
    const Int* kt = keysOf(to);
    const Int* kf = keysOf(from);
    for (Int g = 0; g < to->groupCount; g++) {
        const ExactGroup &a = gt[g], &b = gf[g];
        if (a.busy != b.busy || a.zOffset != b.zOffset || a.length != b.length ||
            !std::equal(kt + a.keyStart, kt + a.keyStart + a.busy, kf + b.keyStart))
            return false;
    }
    for (Int g = 0; g < to->groupCount; g++) gt[g].id = gf[g].id;
    to->epoch = epoch;
    return true;
}

void ExactLandscape::prepare(Pmf* service, Int servers, int64_t maxStates) {
    // The support of the service PMF, compared in place with the kept one.
    bool same = epoch_ != 0;
    size_t count = 0;
    for (Int i = 0; i < service->simple.length; i++) {
        if (!(service->simple.elements[i] > 0)) continue;
        const Int value = service->simple.offset + i;
        same = same && count < values_.size() && values_[count] == value;
        count++;
    }
    same = same && count == values_.size();
    // In doubles: max_states may be near the top of int64.
    if (same && double(index_.size()) <= 4 * double(maxStates) &&
        double(pool_.size()) <= 16 * double(maxStates))
        return;
    std::vector<Int> serviceValues;
    std::vector<Real> serviceProbabilities;
    supportOf(service, serviceValues, serviceProbabilities);
    constexpr Int kMostByIndex = 64;
    width_ = std::min(servers + 1, kMostByIndex);
    // Storage of a few hundred KiB at most is kept: emptied, not freed (a model's landscape
    // is handed to the thread's next new model, see ExactMultiserver::dropCaches).
    const bool keep = small();
    byIndex_.clear();
    epoch_ = newEpoch();
    values_ = serviceValues;
    shift_.clear();
    done_.clear();
    landings_.clear();
    pool_.clear();
    if (keep) {
        index_.clear();
        plan_.forget();
    } else {
        index_ = MultisetIndex();
        plan_.clear();
    }
    // Room for a small chain's multisets and landings, which would otherwise be learnt
    // through a reallocation of every table every few multisets.
    constexpr size_t kFirst = 32;
    index_.reserve(kFirst);
    shift_.reserve(kFirst);
    done_.reserve(kFirst);
    byIndex_.reserve(kFirst * size_t(width_));
    pool_.reserve(4 * kFirst);
}

void ExactStepPlan::clear() { *this = ExactStepPlan(); }

void ExactStepPlan::forget() {
    restart();
    epoch = 0;
    lastShape = 0;
    fullSteps = 0;
}

size_t ExactStepPlan::heapBytes() {
    size_t bytes = 0;
    forEachVector([&](auto& v) { bytes += v.capacity() * sizeof(v[0]); });
    return bytes;
}

bool ExactLandscape::small() {
    // Beyond this the storage is given back: a large chain's would sit idle.
    constexpr size_t kKeptBytes = size_t(256) << 10;
    const size_t bytes =
        plan_.heapBytes() + index_.heapBytes() + values_.capacity() * sizeof(Int) +
        (shift_.capacity() + done_.capacity() + pool_.capacity() + key_.capacity() +
         merged_.capacity()) * sizeof(Int) +
        byIndex_.capacity() * sizeof(int64_t) +
        landings_.bucket_count() * sizeof(void*) + landings_.size() * 4 * sizeof(int64_t);
    return bytes <= kKeptBytes;
}

void ExactStepPlan::restart() {
    ready = direct = steady = gather = probes = false;
    forEachVector([](auto& v) { v.clear(); });
    if (slots.capacity() != 0) return;
    // A new plan's working vectors taken at a size that serves small states whole: grown
    // from nothing, each would go to the allocator several times over the first steps.
    constexpr size_t kFirst = 32;
    for (auto* v : {&slots, &done, &runBusy, &targetId, &slotIdScratch, &slotOfScratch,
                    &targetOfScratch, &landingScratch})
        v->reserve(kFirst);
    for (auto* v : {&after.lo, &after.hi, &after.start, &joined.lo, &joined.hi, &joined.start,
                    &keepLo, &keepHi, &next.lo, &next.hi, &next.start})
        v->reserve(kFirst);
    for (auto* v : {&after.p, &joined.p, &next.p, &marginalScratch}) v->reserve(2 * kFirst);
    drawsScratch.reserve(kFirst);
}

void ExactStepPlan::trim() {
    // Far more room than the last full step used: a state that shrank (a reset, a cut)
    // gives back what its largest steps took.
    if (++fullSteps % 16 != 0) return;
    forEachVector([](auto& v) {
        if (v.capacity() > 4 * v.size() + 4096) v.shrink_to_fit();
    });
}

Int ExactLandscape::numberOf(const Int* key, Int length) {
    const Int id = index_.insert(key, length);
    if (size_t(id) == shift_.size()) {
        shift_.push_back(-1);
        done_.push_back(0);
        byIndex_.resize(byIndex_.size() + size_t(width_), -1);
    }
    return id;
}

Int ExactLandscape::findShifted(Int id) {
    const Int* k = index_.key(id);
    const Int busy = index_.length(id);
    Int d = 0;
    while (d < busy && k[d] == 1) d++;
    key_.resize(size_t(busy - d));
    for (Int i = d; i < busy; i++) key_[size_t(i - d)] = k[i] - 1;
    const Int h = numberOf(key_.data(), busy - d);  // may move the keys: k is not read again
    shift_[size_t(id)] = h;
    done_[size_t(id)] = d;
    return h;
}

const Int* ExactLandscape::findLanding(Int id, Int k, const FreshDrawsOfK& draws) {
    const bool byIndex = k < width_;
    const size_t slot = size_t(id) * size_t(width_) + size_t(k);
    const uint64_t name = (uint64_t(uint32_t(id)) << 32) | uint32_t(k);
    int64_t start = -1;
    if (byIndex) {
        start = byIndex_[slot];
    } else {
        auto found = landings_.find(name);
        if (found != landings_.end()) start = found->second;
    }
    if (start < 0) {
        start = int64_t(pool_.size());
        key_.assign(index_.key(id), index_.key(id) + index_.length(id));
        pool_.resize(size_t(start + draws.count));
        for (int64_t e = 0; e < draws.count; e++) {
            mergeKeys(key_.data(), Int(key_.size()), draws.keys + e * k, k, merged_);
            pool_[size_t(start + e)] = numberOf(merged_.data(), Int(merged_.size()));
        }
        if (byIndex)
            byIndex_[slot] = start;
        else
            landings_.emplace(name, start);
    }
    return pool_.data() + start;
}

// ---- reset, observation, queries ----------------------------------------------------------

ExactState* exactStationReset(MovraObject* obj, Pmf* service, Int servers, Int n,
                              int64_t maxStates) {
    std::vector<Int> values;
    std::vector<Real> probabilities;
    supportOf(service, values, probabilities);
    const Int busy = std::min(n, servers);
    const int64_t needed = multisetCount(busy, int64_t(values.size()));
    if (needed > maxStates) failStateLimit(needed, false, maxStates);
    checkKeyBudget(needed * int64_t(busy), maxStates);
    MultisetIndex index;
    Runs runs;
    std::vector<Real> weights;
    enumerateDraws(values, probabilities, busy, [&](const Int* key, Real probability) {
        runs.widen(index.insert(key, busy), n, n);
        weights.push_back(probability);
    });
    runs.lay();
    Real total = 0;
    for (size_t i = 0; i < weights.size(); i++) {
        runs.p[i] = weights[i];
        if (weights[i] > 0) total += weights[i];
    }
    return pack(obj, index, runs, total);
}

ExactState* exactStationEmpty(MovraObject* obj) {
    ExactState* s = allocateExactState(obj, 1, 0, 1);
    groupsOf(s)[0] = ExactGroup{0, 0, 0, 0, 1, -1};
    probabilitiesOf(s)[0] = 1.0;
    s->maxRemaining = 0;
    s->epoch = 0;
    return s;
}

ExactState* exactStationObserve(MovraObject* obj, ExactState* state, int64_t z0, int64_t z1) {
    Runs runs;
    std::vector<Int> source;
    ExactGroup* groups = groupsOf(state);
    const Int* keys = keysOf(state);
    const Real* p = probabilitiesOf(state);
    for (Int g = 0; g < state->groupCount; g++) {
        const ExactGroup& group = groups[g];
        const int64_t lo = std::max<int64_t>(group.zOffset, z0);
        const int64_t hi = std::min<int64_t>(int64_t(group.zOffset) + group.length - 1, z1 - 1);
        if (lo > hi) continue;
        runs.widen(Int(source.size()), lo, hi);
        source.push_back(g);
    }
    if (source.empty()) fail(msg::EmptyPmf);
    runs.lay();
    Real total = 0;
    for (size_t i = 0; i < source.size(); i++) {
        const ExactGroup& group = groups[source[i]];
        for (int64_t z = runs.lo[i]; z <= runs.hi[i]; z++) {
            const Real prob = p[group.probStart + (z - group.zOffset)];
            runs.at(Int(i), z) = prob;
            if (prob > 0) total += prob;
        }
    }
    if (!(total > 0)) fail(msg::EmptyPmf);
    // The groups keep their multisets, so their lasting numbers stay good.
    return pack(
        obj, Int(source.size()), [&](Int i) { return keys + groups[source[size_t(i)]].keyStart; },
        [&](Int i) { return groups[source[size_t(i)]].busy; },
        [&](Int i) { return groups[source[size_t(i)]].id; }, runs, total, state->epoch);
}

Pmf* exactStationMarginal(MovraObject* obj, ExactState* state) {
    ExactGroup* groups = groupsOf(state);
    const Real* p = probabilitiesOf(state);
    int64_t lo = INT64_MAX, hi = -1;
    for (Int g = 0; g < state->groupCount; g++) {
        lo = std::min<int64_t>(lo, groups[g].zOffset);
        hi = std::max<int64_t>(hi, int64_t(groups[g].zOffset) + groups[g].length - 1);
    }
    if (hi < 0) fail(msg::EmptyPmf);
    ScratchBuffer<Real> sums(hi - lo + 1);
    for (Int g = 0; g < state->groupCount; g++)
        for (Int i = 0; i < groups[g].length; i++)
            sums[groups[g].zOffset - lo + i] += p[groups[g].probStart + i];
    int64_t a = 0, b = hi - lo;
    while (a <= b && !(sums[a] > 0)) a++;
    while (b >= a && !(sums[b] > 0)) b--;
    if (a > b) fail(msg::EmptyPmf);
    Pmf* pmf = allocateSimplePmf(obj, Int(lo + a), Int(b - a + 1));
    std::copy(sums.get() + a, sums.get() + b + 1, pmf->simple.elements + 0);
    return pmf;
}

Real exactStationBlocking(ExactState* state, const ExactStepConfig& config) {
    Int amin, amax;
    if (config.capacity < 0 || !rangeOf(config.arrivals, amin, amax)) return 0.0;
    Pmf* arrivals = config.arrivals;
    Real arriving = 0;
    // 64-bit counters: amax may be the top of the Int range.
    for (int64_t a = amin; a <= amax; a++)
        arriving += Real(a) * arrivals->simple.elements[a - arrivals->simple.offset];
    if (!(arriving > 0)) return 0.0;
    ExactLandscape landscape;
    std::vector<Int> slotId, slots, done, slotOf;
    Runs after;
    shiftAndMerge(state, config.abandonment, config.maxStates, landscape, slotId, after, slots,
                  done, slotOf);
    Real lost = 0;
    for (Int id = 0; id < Int(slotId.size()); id++)
        for (int64_t z1 = after.lo[size_t(id)]; z1 <= after.hi[size_t(id)]; z1++) {
            const Real prob = after.at(id, z1);
            if (!(prob > 0)) continue;
            const int64_t room = std::max<int64_t>(config.capacity - z1, 0);
            for (int64_t a = std::max<int64_t>(amin, room + 1); a <= amax; a++)
                lost +=
                    prob * arrivals->simple.elements[a - arrivals->simple.offset] * Real(a - room);
        }
    return lost / arriving;
}

// ---- assembling a state -------------------------------------------------------------------

void ExactStateBuilder::add(Int z, const Int* key, Int busy, Real weight) {
    entries_.push_back(Entry{index_.insert(key, busy), z, weight});
}

ExactState* ExactStateBuilder::build(MovraObject* obj, int64_t maxStates) {
    Runs runs;
    for (const Entry& e : entries_) runs.widen(e.group, e.z, e.z);
    const int64_t needed = runs.states();
    if (needed > maxStates) failStateLimit(needed, false, maxStates);
    checkKeyBudget(index_.keyCount(), maxStates);
    if (entries_.empty()) fail(msg::EmptyPmf);
    runs.lay();
    Real total = 0;
    for (const Entry& e : entries_) {
        runs.at(e.group, e.z) += e.weight;
        total += e.weight;
    }
    return pack(obj, index_, runs, total);
}

}  // namespace movra
