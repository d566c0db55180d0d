#include "exact_multiserver.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

void ExactMultiserver::memRelease(MovraObject* obj) {
    ExactMultiserver* self = reinterpret_cast<ExactMultiserver*>(obj);
    configuration::flagRoots(*self);
    flag(self->_freshDraws);
    release(obj);
}

void setDefault(MovraObject* obj, ExactState*& field, FieldKind) { field = exactStationEmpty(obj); }

// The saved configuration shares the defaults' records, so that restore() without mark()
// gives back a new instance, whose step works.
void ExactMultiserver::defaults() {
    configuration::setDefaults(*this, true);
    _maxStates = kDefaultMaxStates;
    _freshDraws = nullptr;
    _landscape = nullptr;
}

void ExactMultiserver::init() {
    _serviceDurationPmf = createAtomicSimplePmf(arena(), 1);
    _markServiceDurationPmf = _serviceDurationPmf;
}

Pmf* ExactMultiserver::getNumberOfEntitiesInSystemPmf() {
    return exactStationMarginal(arena(), _internalState);
}

void ExactMultiserver::resetWithNumberOfEntitiesInSystem(Int _numberOfEntitiesInSystem) {
    if (_numberOfEntitiesInSystem < 0) fail(msg::InvalidNumberOfEntities);
    if (_serviceDurationPmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
    // How many start busy depends on c, which the standard station's reset never reads.
    if (_numberOfServers < 0) fail(msg::InvalidNumberOfServers);
    _internalState = exactStationReset(arena(), _serviceDurationPmf, _numberOfServers,
                                       _numberOfEntitiesInSystem, _maxStates);
}

ExactStepConfig ExactMultiserver::stepConfig() const {
    return ExactStepConfig{_numberOfArrivalsPmf,    _serviceDurationPmf,
                           _numberOfServers,        _capacity,
                           _abandonmentProbability, _maxStates};
}

namespace {
// A small landscape's storage, kept for this thread's next new model: a new model's first
// step would otherwise take some thirty blocks from the allocator and its deallocation
// give them back, a good share of the 50 steps of a small chain.
thread_local std::unique_ptr<ExactLandscape> spareLandscape;
}  // namespace

void ExactMultiserver::step() {
    if (_numberOfServers < 0) fail(msg::InvalidNumberOfServers);
    if (_serviceDurationPmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
    if (_landscape == nullptr)
        _landscape = spareLandscape != nullptr ? spareLandscape.release() : new ExactLandscape();
    ExactFreshDraws* draws = _freshDraws;
    ExactState* next = exactStationStep(arena(), _internalState, stepConfig(), draws, *_landscape);
    _internalState = next;
    _freshDraws = draws;
    // Wraps at the top of the Int range instead of overflowing.
    _time = Int(uint32_t(_time) + 1u);
}

// What a step may touch, bounded: each state, remaining time and z of its span, times
// each arrival count and each multiset of c fresh draws. Up to this, a step of a few dozen
// states takes under a microsecond, and releasing the lock and taking it back about a
// tenth of that (50 ns; the 40-state chain's 50 steps from empty, 10 % faster).
constexpr double kQuickStepWork = 512;

bool ExactMultiserver::quickStep() const {
    const ExactState* s = _internalState;
    // Impatience forms a binomial over everyone waiting, however few the states.
    if (_numberOfServers < 0 || _abandonmentProbability > 0 || s == nullptr) return false;
    double each = double(_numberOfArrivalsPmf->simple.length);
    const double held = double(s->stateCount) + double(s->keyCount);
    if (_numberOfServers > 0) {
        // At least m multisets of c draws: bounded by that first, as counting them takes
        // m - 1 products.
        const Int m = _serviceDurationPmf->simple.length;
        if (held * each * double(m) > kQuickStepWork) return false;
        each *= double(multisetCount(_numberOfServers, m));
    }
    if (held * each > kQuickStepWork) return false;
    const ExactGroup* groups = s->layout->groups;
    int64_t zLow = INT64_MAX, zHigh = INT64_MIN;
    for (Int g = 0; g < s->groupCount; g++) {
        zLow = std::min<int64_t>(zLow, groups[g].zOffset);
        zHigh = std::max<int64_t>(zHigh, int64_t(groups[g].zOffset) + groups[g].length - 1);
    }
    const double span = zHigh >= zLow ? double(zHigh - zLow + 1) : 0.0;
    return (held + span) * each <= kQuickStepWork;
}

void ExactMultiserver::applyObservationRange(Int _startOfRange, Int _endOfRange) {
    _internalState = exactStationObserve(arena(), _internalState, _startOfRange, _endOfRange);
}

void ExactMultiserver::applyObservationValue(Int _observedNumberOfEntitiesInSystem) {
    _internalState = exactStationObserve(arena(), _internalState, _observedNumberOfEntitiesInSystem,
                                         int64_t(_observedNumberOfEntitiesInSystem) + 1);
}

Real ExactMultiserver::blockingProbability() {
    if (_numberOfServers < 0) fail(msg::InvalidNumberOfServers);
    return exactStationBlocking(_internalState, stepConfig());
}

void ExactMultiserver::dropCaches() {
    if (_landscape != nullptr && spareLandscape == nullptr && _landscape->small()) {
        _landscape->forget();
        spareLandscape.reset(_landscape);
    } else {
        delete _landscape;
    }
    _landscape = nullptr;
}

namespace {

// Copies of one instance's records in another arena, each record once (the mark often
// shares the live records).
class RecordCopier {
public:
    explicit RecordCopier(MovraObject* obj) : obj_(obj) {}
    template <class T>
    T operator()(T value) {
        return value;
    }
    Pmf* operator()(Pmf* pmf) {
        if (pmf == nullptr) return nullptr;
        if (pmf->pmfType != SIMPLE) fail(msg::Internal);  // the station's PMFs are simple
        return block(pmf, [](Pmf*) {});
    }
    ExactState* operator()(ExactState* s) {
        if (s == nullptr) return nullptr;
        if (s->layout == s) return block(s, [](ExactState* c) { c->layout = c; });
        // One record of its own: the layout it shares stays with the original.
        auto found = done_.find(s);
        if (found != done_.end()) return static_cast<ExactState*>(found->second);
        ExactState* c = allocateExactState(obj_, s->groupCount, s->keyCount, s->stateCount);
        std::copy(groupsOf(s), groupsOf(s) + s->groupCount, groupsOf(c));
        std::copy(keysOf(s), keysOf(s) + s->keyCount, keysOf(c));
        std::copy(probabilitiesOf(s), probabilitiesOf(s) + s->stateCount, probabilitiesOf(c));
        c->maxRemaining = s->maxRemaining;
        c->epoch = s->epoch;
        done_.emplace(s, c);
        return c;
    }
    ExactFreshDraws* operator()(ExactFreshDraws* f) {
        if (f == nullptr) return nullptr;
        Pmf* service = (*this)(f->service);
        return block(f, [service](ExactFreshDraws* c) { c->service = service; });
    }

private:
    // The record's bytes after its header, then its pointers set by fix.
    template <class T, class Fix>
    T* block(T* record, Fix&& fix) {
        auto found = done_.find(record);
        if (found != done_.end()) return static_cast<T*>(found->second);
        const size_t bytes = record->memHeader.size;
        auto* c = static_cast<T*>(movraMalloc(obj_, bytes));
        std::memcpy(reinterpret_cast<char*>(c) + sizeof(MemHeader),
                    reinterpret_cast<const char*>(record) + sizeof(MemHeader),
                    std::min(bytes, c->memHeader.size) - sizeof(MemHeader));
        fix(c);
        done_.emplace(record, c);
        return c;
    }
    MovraObject* obj_;
    std::unordered_map<const void*, void*> done_;
};

// A copied record's numbers hold under the copied landscape's epoch where they held under
// the original's; otherwise it is unnumbered (its ids are never read then).
void renumber(ExactState* s, uint64_t from, uint64_t to) {
    if (s != nullptr) s->epoch = s->epoch == from && to != 0 ? to : 0;
}

}  // namespace

void ExactMultiserver::copyFrom(const ExactMultiserver& original) {
    ExactMultiserver next = original;
    RecordCopier copy(arena());
    next.forEachField([&](auto& live, auto& saved, FieldKind, const char*) {
        live = copy(live);
        saved = copy(saved);
    });
    next._freshDraws = copy(original._freshDraws);
    std::unique_ptr<ExactLandscape> learnt;
    if (original._landscape != nullptr) learnt = original._landscape->renumberedCopy();
    const uint64_t from = learnt ? original._landscape->epoch() : 0;
    const uint64_t to = learnt ? learnt->epoch() : 0;
    renumber(next._internalState, from, to);
    if (next._markInternalState != next._internalState) renumber(next._markInternalState, from, to);
    delete _landscape;
    next._landscape = learnt.release();
    next.header = header;
    *this = next;
}

void ExactMultiserver::learnFrom(const ExactMultiserver& original) {
    if (original._landscape == nullptr) return;
    std::unique_ptr<ExactLandscape> learnt = original._landscape->renumberedCopy();
    if (learnt == nullptr) return;
    const uint64_t from = original._landscape->epoch(), to = learnt->epoch();
    numberLike(_internalState, original._internalState, from, to);
    numberLike(_markInternalState, original._markInternalState, from, to);
    delete _landscape;
    _landscape = learnt.release();
}

void ExactMultiserver::setMaxStates(int64_t limit) {
    if (limit < 1) fail(msg::InvalidMaxStates);
    _maxStates = limit;
}

}  // namespace movra
