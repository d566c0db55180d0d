// The exact station: the state of a queue with c identical servers carried as the PMF of
// (z, the multiset of the busy servers' remaining service times), with nothing
// approximated beyond the tail cut of the number in system. Used by ExactMultiserver and
// meant for any model made of such stations.
//
// A state is grouped by multiset: one group per multiset of remaining times (stored
// ascending, so a multiset has one key), holding a dense run of probabilities over z.
// Every group's busy count b is at most each of its z. A step never builds the chain's
// matrix: it shifts each multiset (servers at 1 complete, the rest count down), merges
// the groups that land on one shifted multiset, convolves their runs along z with the
// arrivals, and scatters each run over the multisets of the fresh durations drawn by the
// servers that start. Where every server stays busy the number starting does not depend
// on z, so a whole run moves with one scaled add per fresh multiset.
#pragma once
#include <memory>
#include <unordered_map>
#include <vector>

#include "../pmf/pmf.h"

namespace movra {

// One group of a state record.
struct ExactGroup {
    int64_t keyStart;   // index of its first remaining time in the record's keys
    int64_t probStart;  // index of its first probability in the record's probabilities
    Int busy;           // entities in service: the multiset's size
    Int zOffset;        // z of the run's first probability
    Int length;         // probabilities in the run (the first and last positive)
    Int id;             // the multiset's lasting number in the landscape of the record's epoch
};

// Arena record of a state: groups, then their keys, then their probabilities (summing
// to 1). Immutable once built, like every PMF record. A record may instead hold only
// probabilities and take its groups and keys from an earlier record of the same layout:
// a warm step's output has its input's layout, whose groups it would otherwise write
// again every step.
struct ExactState {
    MemHeader memHeader;
    Int groupCount;
    Int maxRemaining;    // largest remaining time of any key, 0 if none
    int64_t keyCount;    // sum of the groups' busy counts
    int64_t stateCount;  // sum of the groups' run lengths
    uint64_t epoch;      // the landscape whose numbers the groups' ids are; 0 for none
    ExactState* layout;  // the record holding the groups and keys: itself or one it shares
    Trailing<ExactGroup> groups;
};

// A record with room for the given numbers of groups, keys and probabilities (filled by
// the caller, maxRemaining included).
ExactState* allocateExactState(MovraObject* obj, Int groups, int64_t keys, int64_t states);
// A record of the layout's groups and keys with room for its probabilities alone.
ExactState* allocateSharingLayout(MovraObject* obj, ExactState* layout);
inline ExactGroup* groupsOf(ExactState* s) { return s->layout->groups; }
Int* keysOf(ExactState* s);
Real* probabilitiesOf(ExactState* s);

// Arena record of the fresh draws of a service PMF: for k = 0 .. maxStarters, every
// multiset of k durations (ascending) with its multinomial probability. Kept by a model
// from one step to the next; the service PMF it was made from is kept alive with it, so
// the pointer identifies the PMF.
struct ExactFreshDraws {
    MemHeader memHeader;
    Pmf* service;
    Int maxStarters;
    Int unused;
    Trailing<int64_t> offsets;  // [maxStarters + 2]: first draw of each k, then the total
};

// The draws of k starters: count() multisets of k values each.
struct FreshDrawsOfK {
    int64_t count;
    const Int* keys;  // count * k values, multiset after multiset
    const Real* probabilities;
};
FreshDrawsOfK freshDrawsOf(ExactFreshDraws* fresh, Int k);

// Marks a record for the sweep (null allowed), with the record whose layout it shares;
// the draws mark their service PMF too.
void flag(ExactState* s);
void flag(ExactFreshDraws* f);

// Multisets of k values taken from a support of m values, saturated at INT64_MAX.
int64_t multisetCount(int64_t k, int64_t m);

// Refuses ("Out of memory") a state whose keys hold more remaining times than
// kKeysPerState per allowed state: huge numbers of busy servers would otherwise cost
// time and memory far beyond what max_states suggests.
constexpr int64_t kKeysPerState = 16;
void checkKeyBudget(int64_t keys, int64_t maxStates);
// The same for the runs a step lays out before its tail cut ("Out of memory" beyond
// kScratchPerState per allowed state): a state set far apart in z, or arrivals of
// enormous spread, would otherwise take the machine's memory before the cut.
constexpr int64_t kScratchPerState = 8;
void checkScratchBudget(int64_t values, int64_t maxStates);

// Refuses an operation that would need more than maxStates states; atLeast when the
// count stopped short of the full number.
[[noreturn]] void failStateLimit(int64_t needed, bool atLeast, int64_t maxStates);

// Multisets (ascending keys of any length) numbered 0, 1, ... in order of insertion and
// found again by hash: the groups of a state under construction.
class MultisetIndex {
public:
    // The multiset's number, a new one if it was not there.
    Int insert(const Int* key, Int length);
    Int find(const Int* key, Int length) const;  // -1 if absent
    Int size() const { return Int(length_.size()); }
    const Int* key(Int id) const { return pool_.data() + start_[size_t(id)]; }
    Int length(Int id) const { return length_[size_t(id)]; }
    int64_t keyCount() const { return int64_t(pool_.size()); }
    void reserve(size_t multisets);
    // Empty, its storage kept.
    void clear();
    size_t heapBytes() const;

private:
    static uint64_t hashOf(const Int* key, Int length);
    void grow();
    std::vector<Int> pool_;  // keys end to end
    std::vector<int64_t> start_;
    std::vector<Int> length_;
    std::vector<uint64_t> hash_;
    std::vector<Int> slots_;  // open addressing: multiset numbers, -1 empty
};

// Dense runs over z, one per multiset of a stage of a step (or of a state being made),
// end to end in one vector.
struct ExactRuns {
    std::vector<int64_t> lo, hi, start;
    std::vector<Real> p;
    int64_t pad = 0;  // zeros before every run and after the last

    void widen(Int id, int64_t zlo, int64_t zhi);
    int64_t states() const;
    // Places every run end to end without storage; returns the values they span.
    int64_t place();
    // Places every run, zero-filled, with `gap` zeros around each.
    void lay(int64_t gap = 0);
    Real& at(Int id, int64_t z) { return p[size_t(start[size_t(id)] + z - lo[size_t(id)])]; }
};

// Everything a step reads besides the state.
struct ExactStepConfig {
    Pmf* arrivals;     // simple PMF of the step's arrivals
    Pmf* service;      // simple PMF of a fresh duration, smallest value >= 1
    Int servers;       // c >= 0
    int64_t capacity;  // most entities in system (arrivals beyond are lost); -1: none
    Real abandonment;  // probability each entity waiting at the start leaves, in [0, 1]
    int64_t maxStates;
};

// What a step did, kept for the next one: the layout of every stage, the decisions taken
// from the values (the tail cut, the kept ends, the single z that start servers) and the
// scatter's adds in order. A step whose input has the same shape (groups, their z ranges
// and lasting numbers) under the same configuration values replays it, the same
// operations in the same order, and falls back to the full step if any decision comes out
// otherwise: in the usual warm regime, where the support no longer moves, a step is then
// arithmetic alone, without hashing, lookups or layout. Its size is that of the step's
// own scratch (one add per landing), heap memory freed with the landscape.
struct ExactStepPlan {
    struct Shape {
        Int id, zOffset, length;
        bool operator==(const Shape& o) const {
            return id == o.id && zOffset == o.zOffset && length == o.length;
        }
    };
    struct Scatter {
        int64_t from, to, length;  // positions in the joined runs and in the next runs
        Real weight;
    };
    bool ready = false;
    uint64_t epoch = 0;
    uint64_t lastShape = 0;  // hash of the last full step's input shape (0: none)
    std::vector<Shape> input;
    Int arrivalsOffset = 0, serviceOffset = 0, servers = 0;
    std::vector<Real> arrivals, service;
    int64_t capacity = 0, maxStates = 0;
    Real abandonment = 0;
    std::vector<Int> slots, done;  // per input group: merged run, completions
    // The runs of each stage: merged, after the arrivals, and the next state's before it
    // is packed. A full step works in them, a replay reads their layout.
    ExactRuns after, joined, next;
    int64_t zLow = 0, zHigh = 0;
    Int leftTail = 0, rightTail = 0;
    std::vector<int64_t> keepLo, keepHi, singles;
    std::vector<Int> runBusy;
    std::vector<Scatter> scatter;
    std::vector<Int> targetId;  // the next state's runs
    // Flat maps of the stages where every position goes to one place: the merged run's
    // position of each input probability (empty with impatience), the first joined
    // position of each merged one (empty with a capacity), the z (from zLow) of each
    // joined one. Short runs make a walk run by run cost more than its arithmetic.
    std::vector<int32_t> mergeTo, joinTo, zOf;
    // Joined output by output where there is no capacity (joinTo then unused).
    bool gather = false;
    // Positions of the joined runs whose values must be positive, and zero, for the kept
    // ranges and the single z to come out as recorded (replacing their recomputation).
    bool probes = false;
    std::vector<int32_t> positive, zero;
    // When the step's runs had no zero ends (the usual case), the record it made, less its
    // probabilities: a replay then adds straight into a new record of this layout.
    bool direct = false;
    // ... and had the layout of its input, so that a replay's record can share the input's
    // groups and keys.
    bool steady = false;
    std::vector<ExactGroup> groups;
    std::vector<Int> keys;
    Int maxRemaining = 0;
    // Scratch of the replay, kept so that a warm step neither allocates nor faults pages.
    std::vector<int64_t> keepLoScratch, keepHiScratch, singlesScratch;
    // Storage of a full step's own work, kept for the next full step.
    std::vector<Int> slotIdScratch, slotOfScratch, targetOfScratch, landingScratch;
    std::vector<FreshDrawsOfK> drawsScratch;  // the draws of each number of starters
    std::vector<Real> marginalScratch;        // the PMF of z for the tail cut (any step)

    int64_t rows() const { return int64_t(next.p.size()); }
    void clear();
    // Not ready, every vector emptied (its storage kept) for a full step to fill again.
    void restart();
    // As new, its storage kept.
    void forget();
    size_t heapBytes();
    // Frees the storage of vectors far larger than what they hold, every so many full steps
    // (a look at every vector is a good share of a small step).
    void trim();
    uint32_t fullSteps = 0;
    template <class F>
    void forEachVector(F&& f) {
        f(input), f(arrivals), f(service), f(slots), f(done), f(after.lo), f(after.hi);
        f(joined.lo), f(joined.hi), f(keepLo), f(keepHi), f(singles), f(runBusy), f(scatter);
        f(targetId), f(next.lo), f(next.hi), f(mergeTo), f(joinTo), f(zOf), f(positive), f(zero);
        f(groups), f(keys), f(after.start), f(joined.start), f(next.start), f(keepLoScratch);
        f(keepHiScratch), f(singlesScratch), f(after.p), f(joined.p), f(next.p), f(slotIdScratch);
        f(slotOfScratch), f(targetOfScratch), f(landingScratch), f(drawsScratch);
        f(marginalScratch);
    }
};

// What steps learn about multisets, kept by a model from one step to the next (heap
// memory it owns, not part of its value; a copy of the model is handed a copy of it, see
// renumberedCopy). Every multiset met
// under one table of fresh draws gets a lasting number, with the multiset it shifts to
// and, for each number of starters, the multisets the fresh draws take it to; a state
// made by a step carries these numbers, so the next step finds its way without hashing.
class ExactLandscape {
public:
    // Forgets everything unless it was made for these service durations (the landings
    // depend on the values alone, not on their probabilities) and has not outgrown the
    // limit: its multisets and landings stay within a few times max_states.
    // Landings for k < min(servers + 1, 64) are found by index, the others by hash.
    void prepare(Pmf* service, Int servers, int64_t maxStates);
    uint64_t epoch() const { return epoch_; }
    // The positive values of the service PMF it was prepared for, ascending.
    const std::vector<Int>& serviceValues() const { return values_; }
    // The lasting number of a multiset (ascending key), given one if new.
    Int numberOf(const Int* key, Int length);
    const Int* key(Int id) const { return index_.key(id); }
    Int length(Int id) const { return index_.length(id); }
    Int size() const { return index_.size(); }
    // The multiset a number shifts to (the remaining times at 1 done, the others one less)
    // and how many were done.
    Int shifted(Int id) {
        const Int h = shift_[size_t(id)];
        return h >= 0 ? h : findShifted(id);
    }
    Int done(Int id) const { return done_[size_t(id)]; }
    // The numbers of the multisets that id joined with each multiset of k fresh draws
    // gives, in the order of draws; valid until the next call.
    const Int* landing(Int id, Int k, const FreshDrawsOfK& draws) {
        if (k < width_) {
            const int64_t start = byIndex_[size_t(id) * size_t(width_) + size_t(k)];
            if (start >= 0) return pool_.data() + start;
        }
        return findLanding(id, k, draws);
    }
    ExactStepPlan& plan() { return plan_; }
    // Everything learnt (the plan included) under a new epoch, for another model, which
    // then numbers its records with numberLike; null if nothing was learnt. Each model's
    // landscape reads only records of its own epoch, so the two may learn apart.
    std::unique_ptr<ExactLandscape> renumberedCopy() const;
    // Whether its storage is small enough to keep for another model (forget() first).
    bool small();
    // As new (the next prepare learns afresh), its storage kept.
    void forget() { epoch_ = 0; }

private:
    Int findShifted(Int id);
    const Int* findLanding(Int id, Int k, const FreshDrawsOfK& draws);
    ExactStepPlan plan_;
    uint64_t epoch_ = 0;
    std::vector<Int> values_;
    MultisetIndex index_;
    std::vector<Int> shift_, done_;
    Int width_ = 0;
    std::vector<int64_t> byIndex_;  // number * width_ + k -> pool start, -1 unknown
    std::unordered_map<uint64_t, int64_t> landings_;  // (number, k) -> pool start, k >= width_
    std::vector<Int> pool_;                           // targets of every landing, end to end
    std::vector<Int> key_, merged_;                   // scratch
};

// Gives an unnumbered record (its own layout) the numbers of from, numbered under
// fromEpoch, under epoch instead, where the two hold the same multisets and z ranges in
// the same order (a record read back from from's form does). False, with nothing
// changed, otherwise.
bool numberLike(ExactState* to, ExactState* from, uint64_t fromEpoch, uint64_t epoch);

// One step, with the tail cut and renormalisation of the standard station. fresh is the
// draws table the caller keeps (may be null or made for another PMF); on return it
// holds the table the result was made with, which the caller stores with the result.
ExactState* exactStationStep(MovraObject* obj, ExactState* state, const ExactStepConfig& config,
                             ExactFreshDraws*& fresh, ExactLandscape& landscape);

// n entities, min(n, c) of them in service with remaining times drawn independently from
// the service PMF. c >= 0 and a service PMF without 0 are the caller's checks.
ExactState* exactStationReset(MovraObject* obj, Pmf* service, Int servers, Int n,
                              int64_t maxStates);

// The empty station: z = 0 with probability 1 (what a builder given that one entry makes).
ExactState* exactStationEmpty(MovraObject* obj);

// The state conditioned on z0 <= z < z1 ("Empty pmf" if that has probability 0).
ExactState* exactStationObserve(MovraObject* obj, ExactState* state, int64_t z0, int64_t z1);

// PMF of z.
Pmf* exactStationMarginal(MovraObject* obj, ExactState* state);

// Expected number of arrivals lost to the capacity in the next step over the expected
// number arriving (0 when no capacity is set or nothing arrives).
Real exactStationBlocking(ExactState* state, const ExactStepConfig& config);

// A state assembled from entries (z, multiset, weight), as a setter or a reader of the
// pickled form hands them over: weights of one outcome add up and the result is divided
// by the total; keys must be ascending and b <= z (the caller's checks).
class ExactStateBuilder {
public:
    void add(Int z, const Int* key, Int busy, Real weight);
    // "Empty pmf" when nothing positive was added; the state limit is checked first.
    ExactState* build(MovraObject* obj, int64_t maxStates);

private:
    struct Entry {
        Int group;
        Int z;
        Real weight;
    };
    MultisetIndex index_;
    std::vector<Entry> entries_;
};

}  // namespace movra
