#include "standard_network_multiserver.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "../pmf/accumulator.h"
#include "../pmf/convolution.h"
#include "../pmf/distributions.h"
#include "../pmf/pmf_query.h"
#include "../pmf/sampling_stack.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "station_map.h"
#include "station_reference.h"

namespace movra {

using SN = StandardNetworkMultiserver;

static Real routing(SparseRealMatrix* m, Int source, Int destination) {
    return lookup(m, source, destination);
}

void SN::memRelease(MovraObject* obj) {
    configuration::flagRoots(*reinterpret_cast<SN*>(obj));
    release(obj);
}

void SN::defaults() { configuration::setDefaults(*this); }

void SN::init(Int _numberOfNodes) {
    if (_numberOfNodes <= 0) fail(msg::InvalidNumberOfNodes);
    MovraObject* obj = arena();
    const Int n = _numberOfNodes;
    // What one node costs, measured on throwaway defaults (the sweep frees them): a node
    // count the machine cannot hold is refused before its first block, not part-way
    // through gigabytes.
    {
        const unsigned long long before = obj->currentMemoryUse;
        defaultPmf(obj, createJointPmfConfig(obj, 2));
        defaultPmf(obj, createSimplePmfConfig(obj));
        createAtomicSimplePmf(obj, 1);
        const double perNode = 2.0 * double(obj->currentMemoryUse - before) +
                               2 * (3 * sizeof(Pmf*) + sizeof(Int) + sizeof(SparseRealRow*));
        checkRoom(obj, perNode * n);
    }
    configuration::setNodeDefaults(*this, n);
}

Pmf* SN::getNumberOfEntitiesAtNodePmf(Int _nodeIndex) {
    return lookupMarginalPmf(lookup(_internalState, _nodeIndex));
}

void SN::resetNodeWithNumberOfEntities(Int _nodeIndex, Int _numberOfEntitiesAtNode) {
    if (_numberOfEntitiesAtNode < 0) fail(msg::InvalidNumberOfEntities);
    Pmf* state = resetMapAtNode(_nodeIndex, _numberOfEntitiesAtNode);
    lookup(_internalState, _nodeIndex) = state;
}

Pmf* SN::resetMapAtNode(Int _nodeIndex, Int _z0) {
    return stationResetMap(arena(), lookup(_serviceDurationPmfs, _nodeIndex), _z0);
}

Pmf* SN::convolution(Pmf* _p1, Pmf* _p2) { return movra::convolution(arena(), _p1, _p2); }

Pmf* SN::relabel(Int _nodeIndex, Int _z) {
    return reference::relabel(arena(), lookup(_internalState, _nodeIndex), _z);
}

namespace {
// Completion distributions of every node, shared by the flows out of a node and by its
// own maps within one step (all read the state at the start of the step).
class StepCompletions {
public:
    StepCompletions(SN* self, ScratchCache* scratch) {
        const Int n = self->_numberOfServers->length;
        tables_.reserve(size_t(std::max<Int>(n, 0)));
        for (Int k = 0; k < n; k++)
            tables_.emplace_back(lookup(self->_internalState, k), lookup(self->_numberOfServers, k),
                                 scratch);
    }
    const CompletionRuns& at(Int node) const { return tables_[size_t(node)]; }

private:
    std::vector<CompletionRuns> tables_;  // one per node
};

// The (z, d) outcomes of positive weight at one node, in loop order, with the weight
// p(z) p(d) that the flows out of the node give each: the same for every destination.
class Departures {
public:
    Departures() = default;
    Departures(SN* self, Int s, const CompletionRuns& completions) { assign(self, s, completions); }
    void bind(ScratchCache* scratch) {
        weight_.bind(scratch);
        trials_.bind(scratch);
        used_.bind(scratch);
        rowOf_.bind(scratch);
    }
    // Those of node s instead, in the buffers kept from the node before when large enough.
    void assign(SN* self, Int s, const CompletionRuns& completions) {
        Pmf* dist_z = lookupMarginalPmf(lookup(self->_internalState, s));
        int64_t n = 0;
        for (Int iz = 0; iz < dist_z->simple.length; iz++)
            if (dist_z->simple.elements[iz] > 0) n += completions.at(iz).count;
        if (weight_.size() < n) {
            weight_.reset(n);
            trials_.reset(n);
        }
        // maxTrials() >= 0; the bound tells the compiler so, which otherwise may see a
        // negative size for the memset below.
        const int64_t trials = std::max<int64_t>(int64_t(completions.maxTrials()) + 1, 1);
        if (used_.size() < trials) {
            used_.reset(trials);
            rowOf_.reset(trials);
        }
        std::memset(used_.get(), 0, size_t(trials));
        count_ = 0;
        SamplingStack stack(2);
        for (Int iz = 0; iz < dist_z->simple.length; iz++) {
            Real prob_z = dist_z->simple.elements[iz];
            if (!(prob_z > 0)) continue;
            stack.set(0, prob_z);
            const PmfRun& dist_d = completions.at(iz);
            for (Int id = 0; id < dist_d.count; id++) {
                Real prob_d = dist_d.p[id];
                if (!(prob_d > 0)) continue;
                stack.branch(1, prob_d);
                weight_[count_] = stack.branchProbability(1);
                trials_[count_] = dist_d.first + id;
                used_[dist_d.first + id] = 1;
                count_++;
            }
        }
        rows_ = 0;
        for (int64_t d = 0; d < trials; d++) {
            rowOf_[d] = rows_;
            if (used_[d]) rows_ += d + 1;
        }
    }
    // The weights of the flow put into acc; routed holds Binomial(d, routing).
    void flowInto(BinomialRuns& routed, SimpleAccumulator& acc) const {
        // The phi loop: weight (p(z) p(d)) p(phi) at phi, in one pass.
        for (int64_t i = 0; i < count_; i++)
            acc.putScaled(weight_[i], routed.forTrials(trials_[i]));
    }
    // The same weights added into the flows of `width` destinations at once: row phi of
    // flows holds phi for each, and d's (d + 1) rows of binomials, from rowOf(d) rows on,
    // Binomial(d, routing) for each. No product is negative, so adding every one, 0
    // included, gives each slot the sum putScaled gives it.
    void flowInto(const Real* binomials, Int width, Real* flows) const {
        for (int64_t i = 0; i < count_; i++) {
            const Int d = trials_[i];
            const Real w = weight_[i];
            addScaled(flows, w, binomials + rowOf_[d] * width, Int((d + 1) * width));
        }
    }
    // Whether some departure has d trials (0 <= d <= maxTrials).
    bool hasTrials(Int d) const { return used_[d] != 0; }
    // The binomial rows of the numbers of trials held: d + 1 for each, from rowOf(d) on.
    // They follow the departures, not the square of the largest number of trials.
    int64_t rows() const { return rows_; }
    int64_t rowOf(Int d) const { return rowOf_[d]; }
    // Whether some weight is > 0: a flow with routing 0 puts exactly those at 0.
    bool any() const {
        for (int64_t i = 0; i < count_; i++)
            if (weight_[i] > 0) return true;
        return false;
    }

private:
    ScratchBuffer<Real> weight_;   // p(z) p(d)
    ScratchBuffer<Int> trials_;    // d
    ScratchBuffer<uint8_t> used_;  // used_[d]: some departure has d trials
    ScratchBuffer<int64_t> rowOf_;
    int64_t count_ = 0, rows_ = 0;
};

// Without own-node routing no completion re-enters: the maps go without the loop over
// re-entries, whose one outcome (0, with probability exactly 1) leaves every weight and
// every value as it is.
StationStep nodeStep(SN* self, Int k, const PmfRun& arrivals, const CompletionRuns& completions,
                     ScratchCache* scratch = nullptr) {
    const Real selfRouting = routing(self->_routingProbabilities, k, k);
    return StationStep{self->arena(),
                       lookup(self->_internalState, k),
                       lookup(self->_numberOfServers, k),
                       arrivals,
                       lookup(self->_serviceDurationPmfs, k),
                       selfRouting > 0,
                       selfRouting,
                       &completions,
                       scratch};
}

Pmf* nodeArrivals(SN* self, Int k, Pmf* internalFlowIn) {
    return self->convolution(lookup(self->_numberOfExternalArrivalsPmfs, k), internalFlowIn);
}
}  // namespace

Pmf* SN::flow(Int _sourceNodeIndex, Int _destinationNodeIndex) {
    Pmf* state = lookup(_internalState, _sourceNodeIndex);
    CompletionRuns completions(state, lookup(_numberOfServers, _sourceNodeIndex));
    BinomialRuns routed(routing(_routingProbabilities, _sourceNodeIndex, _destinationNodeIndex),
                        completions.maxTrials());
    SimpleAccumulator acc(arena());
    Departures(this, _sourceNodeIndex, completions).flowInto(routed, acc);
    return acc.toPmf();
}

Pmf* SN::partialMovraMapAtNode(Int _nodeIndex, Pmf* _internalFlowIn) {
    Pmf* state = lookup(_internalState, _nodeIndex);
    CompletionRuns completions(state, lookup(_numberOfServers, _nodeIndex));
    Pmf* arrivals = nodeArrivals(this, _nodeIndex, _internalFlowIn);
    return stationPartialMap(nodeStep(this, _nodeIndex, PmfRun::of(arrivals), completions));
}

Pmf* SN::movraMapAtNode(Int _nodeIndex, Pmf* _internalFlowIn, Int _leftTail, Int _rightTail) {
    Pmf* state = lookup(_internalState, _nodeIndex);
    CompletionRuns completions(state, lookup(_numberOfServers, _nodeIndex));
    Pmf* arrivals = nodeArrivals(this, _nodeIndex, _internalFlowIn);
    return stationFullMap(nodeStep(this, _nodeIndex, PmfRun::of(arrivals), completions), _leftTail,
                          _rightTail);
}

namespace {
// The inflow of one node while the flows into it are convolved in one by one: a simple
// PMF in scratch. The next one is gathered in a buffer shared by all nodes, which then
// takes the node's old one in exchange. Every probability it
// holds is a normalised weight, in 0 .. 1 (x / total <= 1: a total of weights >= 0 is
// never less than any of them).
class Inflow {
public:
    explicit Inflow(ScratchCache* scratch) {
        pmf_.elements.bind(scratch);
        pmf_.elements.reset(1);
        pmf_.elements[0] = 1.0;  // nothing has flowed in yet: 0 with probability 1
        pmf_.length = 1;
    }
    const ScratchPmf& pmf() const { return pmf_; }

    // What convolving with 0 with probability 1 and normalising make of it, `times` times
    // over, in place: each weight p (p > 0) is put at its own value once. A pass that
    // trims nothing and finds a total of exactly 1 changes nothing (x / 1 is x), and
    // neither would the passes after it.
    void renormalise(int64_t times) {
        for (; times > 0; times--) {
            Real* w = pmf_.elements.get();
            const Int n = pmf_.length;
            Int lo, hi;
            if (!keptRange(w, n, lo, hi)) fail(msg::EmptyPmf);
            const bool trimmed = lo > 0 || hi < n - 1;
            if (lo > 0) std::memmove(w, w + lo, size_t(hi - lo + 1) * sizeof(Real));
            pmf_.offset += lo;
            pmf_.length = hi - lo + 1;
            Real total = 0;
            for (Int k = 0; k < pmf_.length; k++) total += w[k];
            if (total == 1 && !trimmed) return;
            for (Int k = 0; k < pmf_.length; k++) w[k] = w[k] / total;
        }
    }

    // The normalised convolution with the flow q[0 .. count) of the values first, ...
    // (both ends > 0): the weights convolve() and toScratch give, each slot's weights
    // added in the same order, its smallest inflow value first. That order is kept by
    // adding the flow's values from the largest down, each over the whole inflow, which
    // makes the inner pass a plain scaled sum. A probability 0 of the inflow adds 0
    // where convolve() skips it: the same sums, all weights being >= 0. No product
    // exceeds 1 (both factors are normalised weights), so none needs clampWeight.
    void convolveWith(const Real* q, Int first, Int count, ScratchBuffer<Real>& next) {
        const Real* __restrict p = pmf_.elements.get();
        const Int n = pmf_.length;
        if (count == 0) fail(msg::EmptyPmf);  // no weight is put
        // The inflow's ends are > 0: the largest sum is that of its last value.
        if (int64_t(pmf_.offset) + n - 1 + first + count - 1 > INT32_MAX) fail(msg::OutOfMemory);
        const Int slots = n + count - 1;
        if (next.size() < slots) next.reset(std::max<int64_t>(slots, 2 * next.size()));
        Real* out = next.get();
        std::memset(out, 0, size_t(slots) * sizeof(Real));
        for (Int y = count - 1; y >= 0; y--) {
            const Real qy = q[y];
            Real* __restrict o = out + y;
            for (Int x = 0; x < n; x++) o[x] += p[x] * qy;
        }
        std::swap(pmf_.elements, next);
        keep(out, pmf_.offset + first, slots);
    }

private:
    // The PMF becomes the kept range of w[0 .. n) (values from offset), normalised ("Empty
    // pmf" when every slot is 0); w is pmf_.elements.
    void keep(Real* w, Int offset, Int n) {
        Int lo, hi;
        if (!keptRange(w, n, lo, hi)) fail(msg::EmptyPmf);
        if (lo > 0) std::memmove(w, w + lo, size_t(hi - lo + 1) * sizeof(Real));
        pmf_.offset = offset + lo;
        pmf_.length = hi - lo + 1;
        normaliseWeights(w, pmf_.length);
    }
    ScratchPmf pmf_;
};

// Entries of one SourceFlows table at most, unless one destination needs more.
constexpr int64_t kFlowTableEntries = int64_t(1) << 16;

// The flows out of one source into `width` destinations at once, before any is
// convolved: Binomial(d, r) of every destination in the rows of a table, so that each
// departure's weights go to all of them in one pass over consecutive slots. Every slot
// gets the weights of the departures in their order, as one destination's accumulator
// would; a value outside a binomial's run holds 0 and adds 0.
class SourceFlows {
public:
    // Scratch for flows of up to maxTrials trials, binomials of `rows` rows, into up to
    // width destinations, kept from one source to the next.
    void bind(ScratchCache* scratch) {
        table_.bind(scratch);
        flows_.bind(scratch);
        single_.bind(scratch);
    }
    void prepare(Int maxTrials, int64_t rows, Int width) {
        if (maxTrials <= maxTrials_ && rows <= rows_ && width <= width_) return;
        maxTrials_ = std::max(maxTrials, maxTrials_);
        rows_ = std::max(rows, rows_);
        width_ = std::max(width, width_);
        table_.reset(rows_ * width_);
        flows_.reset((int64_t(maxTrials_) + 1) * width_);
        single_.reset(int64_t(maxTrials_) + 1);
    }
    // The weights of departures into the destinations of routings r[0 .. width).
    void form(const Departures& departures, Int maxTrials, const Real* r, Int width,
              BinomialTables& tables, IntegerLogs& integerLogs) {
        formedWidth_ = width;
        for (Int j = 0; j < width; j++) {
            if (const Real* kept = tables.find(r[j], maxTrials, integerLogs)) {
                for (Int d = 0; d <= maxTrials; d++) {
                    if (!departures.hasTrials(d)) continue;
                    Real* rows = table_.get() + departures.rowOf(d) * width;
                    const Real* row = kept + int64_t(d) * (d + 1) / 2;
                    for (Int phi = 0; phi <= d; phi++) rows[int64_t(phi) * width + j] = row[phi];
                }
                continue;
            }
            const BinomialRecursion recursion(r[j]);
            const Real* logs = integerLogs.upTo(maxTrials);
            for (Int d = 0; d <= maxTrials; d++) {
                if (!departures.hasTrials(d)) continue;
                Real* rows = table_.get() + departures.rowOf(d) * width;  // (d + 1) rows
                recursion.writeRow(d, logs, single_.get());
                for (Int phi = 0; phi <= d; phi++) rows[int64_t(phi) * width + j] = single_[phi];
            }
        }
        std::memset(flows_.get(), 0, size_t((int64_t(maxTrials) + 1) * width) * sizeof(Real));
        departures.flowInto(table_.get(), width, flows_.get());
    }
    // Destination j's weights at phi = 0 .. maxTrials, into out.
    void weights(Int j, Int maxTrials, Real* out) const {
        for (Int phi = 0; phi <= maxTrials; phi++)
            out[phi] = flows_[int64_t(phi) * formedWidth_ + j];
    }

private:
    ScratchBuffer<Real> table_;   // d's rows from Departures::rowOf(d) on; row phi, column j
    ScratchBuffer<Real> flows_;   // row phi, column j
    ScratchBuffer<Real> single_;  // one Binomial(d, r)
    Int maxTrials_ = -1, width_ = 0, formedWidth_ = 0;
    int64_t rows_ = 0;
};
}  // namespace

// The flows, the inflows and the arrivals of a step are the PMFs flow, convolution and
// the node maps' arrivals would make, kept in scratch: nothing of them outlives the step.
void SN::step() {
    MovraObject* obj = arena();
    const Int n = _numberOfServers->length;
    // Only the routings stored (those other than 0) are read: a step costs nodes plus
    // routes, however many nodes there are.
    for (Int s = 0; s < n; s++) {
        Int count;
        const SparseEntry* row = rowEntries(_routingProbabilities, s, count);
        Real _sourceSum = 0.0;  // a routing of 0 adds nothing to it
        for (Int k = 0; k < count; k++) _sourceSum += row[k].value;
        if (_sourceSum > 1) fail(msg::InvalidRouting);
    }
    // Every scratch buffer of the step takes its blocks from this thread's cache, looked
    // up once here.
    ScratchCache* scratch = ScratchCache::lookedUp();
    StepCompletions completions(this, scratch);
    Int maxTrials = 0;
    for (Int s = 0; s < n; s++) maxTrials = std::max(maxTrials, completions.at(s).maxTrials());
    // _flowIn[t]: the inflow of node t gathered so far. A source that routes nothing to t
    // renormalises it; those renormalisations are made when t's inflow is next used,
    // counted from convolvedAt[t], the last source that routed to t (-1: none yet).
    std::vector<Inflow> _flowIn;
    _flowIn.reserve(size_t(std::max<Int>(n, 0)));
    for (Int t = 0; t < n; t++) _flowIn.emplace_back(scratch);
    ScratchBuffer<Int> convolvedAt(scratch, n);
    for (Int t = 0; t < n; t++) convolvedAt[t] = -1;
    auto catchUp = [&](Int t, Int source) {  // the sources before `source` owe t's inflow
        const int64_t from = int64_t(convolvedAt[t]) + 1;
        const int64_t owed = source - from - (from <= t && t < source ? 1 : 0);
        _flowIn[t].renormalise(owed);
    };
    ScratchBuffer<Real> nextInflow;
    nextInflow.bind(scratch);
    IntegerLogs logs;
    BinomialTables& tables = BinomialTables::ofThisThread();
    SourceFlows flows;
    flows.bind(scratch);
    ScratchBuffer<Real> routed(scratch, n);  // the routings > 0 of a source, in destination order
    ScratchBuffer<Int> targets(scratch, n);  // their destinations
    ScratchBuffer<Real> flow(scratch, int64_t(maxTrials) + 1);  // one destination's weights
    Departures departures;
    departures.bind(scratch);
    for (Int s = 0; s < n; s++) {
        const CompletionRuns& from = completions.at(s);
        departures.assign(this, s, from);
        const Int sourceTrials = from.maxTrials();
        Int width = 0, count;
        const SparseEntry* row = rowEntries(_routingProbabilities, s, count);
        for (Int k = 0; k < count; k++)
            if (row[k].column != s && row[k].value > 0) {
                routed[width] = row[k].value;
                targets[width++] = row[k].column;
            }
        // No completion moves to a destination routed 0: all its weight is at 0, which
        // normalises to exactly 1, unless there is no weight at all.
        if (width < n - 1 && !departures.any()) fail(msg::EmptyPmf);
        // The flows are formed a group of destinations at a time, as many as a table of
        // kFlowTableEntries holds (at least one), before the group's first convolution.
        // That changes no failure: routings lie in 0 .. 1 (the setters and the import
        // refuse anything else), so forming a flow cannot fail.
        const int64_t rows = std::max<int64_t>(departures.rows(), 1);
        const Int group =
            Int(std::max<int64_t>(1, std::min<int64_t>(width, kFlowTableEntries / rows)));
        for (Int j = 0; j < width; j += group) {
            const Int groupEnd = std::min(width, j + group);
            flows.prepare(sourceTrials, rows, groupEnd - j);
            flows.form(departures, sourceTrials, routed.get() + j, groupEnd - j, tables, logs);
            for (Int k = j; k < groupEnd; k++) {
                const Int t = targets[k];
                flows.weights(k - j, sourceTrials, flow.get());
                // What toScratch keeps of the flow, then its run.
                Int lo, hi;
                if (!keptRange(flow.get(), sourceTrials + 1, lo, hi)) fail(msg::EmptyPmf);
                normaliseWeights(flow.get() + lo, hi - lo + 1);
                while (lo <= hi && !(flow[lo] > 0)) lo++;
                while (lo <= hi && !(flow[hi] > 0)) hi--;
                catchUp(t, s);
                _flowIn[t].convolveWith(flow.get() + lo, lo, hi - lo + 1, nextInflow);
                convolvedAt[t] = s;
            }
        }
    }
    for (Int t = 0; t < n; t++) catchUp(t, n);
    // The next state is built whole, beside the current one (entries past N, from a longer
    // state list, come along unchanged), and replaces it in one move: a step that fails
    // at any node leaves every node and the time as they were.
    PmfArray* next = allocatePmfArray(obj, _internalState->length);
    for (Int k = 0; k < _internalState->length; k++)
        next->elements[k] = _internalState->elements[k];
    SimpleAccumulator sumAcc(obj);
    sumAcc.elements.bind(scratch);
    ScratchPmf arrivals;
    arrivals.elements.bind(scratch);
    for (Int k = 0; k < n; k++) {
        // The node's arrivals are the same for both of its maps: formed once.
        sumAcc.clear();
        convolve(PmfRun::of(lookup(_numberOfExternalArrivalsPmfs, k)), _flowIn[k].pmf().run(),
                 sumAcc);
        sumAcc.toScratch(arrivals);
        lookup(next, k) =
            stationNextState(nodeStep(this, k, arrivals.run(), completions.at(k), scratch));
    }
    _internalState = next;
    // Wraps at the top of the Int range instead of overflowing.
    _time = Int(uint32_t(_time) + 1u);
}

Pmf* SN::observationMapRangeAtNode(Int _nodeIndex, int64_t _z0, int64_t _z1) {
    return stationObservationMapRange(arena(), lookup(_internalState, _nodeIndex), _z0, _z1);
}

void SN::applyObservationRangeAtNode(Int _nodeIndex, Int _startOfRange, Int _endOfRange) {
    Pmf* state = observationMapRangeAtNode(_nodeIndex, _startOfRange, _endOfRange);
    lookup(_internalState, _nodeIndex) = state;
}

void SN::applyObservationValueAtNode(Int _nodeIndex, Int _observedNumberOfEntitiesInSystem) {
    Pmf* state = observationMapRangeAtNode(_nodeIndex, _observedNumberOfEntitiesInSystem,
                                           int64_t(_observedNumberOfEntitiesInSystem) + 1);
    lookup(_internalState, _nodeIndex) = state;
}

}  // namespace movra
