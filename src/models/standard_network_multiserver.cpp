#include "standard_network_multiserver.h"

#include <memory>
#include <new>

#include "../pmf/accumulator.h"
#include "../pmf/convolution.h"
#include "../pmf/distributions.h"
#include "../pmf/pmf_query.h"
#include "../pmf/sampling_stack.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "station_map.h"

namespace movra {

using SN = StandardNetworkMultiserver;

static Real& routing(RealMatrix* m, Int source, Int destination) {
    return lookup(lookup(m, source), destination);
}

void SN::memRelease(MovraObject* obj) {
    SN* self = reinterpret_cast<SN*>(obj);
    flag(self->_internalState);
    flag(self->_numberOfServers);
    flag(self->_numberOfExternalArrivalsPmfs);
    flag(self->_serviceDurationPmfs);
    flag(self->_routingProbabilities);
    flag(self->_markInternalState);
    flag(self->_markNumberOfServers);
    flag(self->_markNumberOfExternalArrivalsPmfs);
    flag(self->_markServiceDurationPmfs);
    flag(self->_markRoutingProbabilities);
    release(obj);
}

void SN::defaults() {
    MovraObject* obj = arena();
    _internalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2));
    _time = 0;
    _numberOfServers = defaultIntArray(obj);
    _numberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    _serviceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    _routingProbabilities = defaultRealMatrix(obj);
    _markInternalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2));
    _markTime = 0;
    _markNumberOfServers = defaultIntArray(obj);
    _markNumberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    _markServiceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    _markRoutingProbabilities = defaultRealMatrix(obj);
}

// Service duration 1 with certainty at every node.
static PmfArray* unitServiceDurations(MovraObject* obj, Int n) {
    PmfArray* a = allocatePmfArray(obj, n);
    for (Int i = 0; i < n; i++) a->elements[i] = createAtomicSimplePmf(obj, 1);
    return a;
}

void SN::init(Int _numberOfNodes) {
    if (_numberOfNodes <= 0) fail(msg::InvalidNumberOfNodes);
    MovraObject* obj = arena();
    const Int n = _numberOfNodes;
    _internalState = createPmfArray(obj, createJointPmfConfig(obj, 2), n);
    _time = 0;
    _numberOfServers = createIntArray(obj, n);
    _numberOfExternalArrivalsPmfs = createPmfArray(obj, createSimplePmfConfig(obj), n);
    _serviceDurationPmfs = unitServiceDurations(obj, n);
    _routingProbabilities = createRealMatrix(obj, n, n);
    _markInternalState = createPmfArray(obj, createJointPmfConfig(obj, 2), n);
    _markNumberOfServers = createIntArray(obj, n);
    _markNumberOfExternalArrivalsPmfs = createPmfArray(obj, createSimplePmfConfig(obj), n);
    _markServiceDurationPmfs = unitServiceDurations(obj, n);
    _markRoutingProbabilities = createRealMatrix(obj, n, n);
}

Int SN::getNumberOfNodes() { return _numberOfServers->length; }

Int SN::getNumberOfServersAtNode(Int _nodeIndex) {
    return lookup(_numberOfServers, _nodeIndex);
}

void SN::setNumberOfServersAtNode(Int _nodeIndex, Int _n) {
    if (_n < 0) fail(msg::InvalidNumberOfServers);
    lookup(_numberOfServers, _nodeIndex) = _n;
}

Pmf* SN::getNumberOfExternalArrivalsAtNodePmf(Int _nodeIndex) {
    return lookup(_numberOfExternalArrivalsPmfs, _nodeIndex);
}

void SN::setNumberOfExternalArrivalsAtNodePmf(Int _nodeIndex,
                                                                      Pmf* _numberOfExternalArrivalsPmf) {
    lookup(_numberOfExternalArrivalsPmfs, _nodeIndex) = _numberOfExternalArrivalsPmf;
}

Pmf* SN::getServiceDurationAtNodePmf(Int _nodeIndex) {
    return lookup(_serviceDurationPmfs, _nodeIndex);
}

void SN::setServiceDurationAtNodePmf(Int _nodeIndex,
                                                             Pmf* _serviceDurationPmf) {
    if (_serviceDurationPmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
    lookup(_serviceDurationPmfs, _nodeIndex) = _serviceDurationPmf;
}

Real SN::getRoutingProbability(Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex) {
    return routing(_routingProbabilities, _sourceNodeIndex, _destinationNodeIndex);
}

void SN::setRoutingProbability(Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex, Real _probability) {
    // NaN is refused too: it would pass the step's row check and poison every flow.
    if (!(_probability >= 0 && _probability <= 1)) fail(msg::InvalidProbability);
    routing(_routingProbabilities, _sourceNodeIndex, _destinationNodeIndex) = _probability;
}

Pmf* SN::getNumberOfEntitiesAtNodePmf(Int _nodeIndex) {
    return lookupMarginalPmf(lookup(_internalState, _nodeIndex));
}

void SN::resetNodeWithNumberOfEntities(Int _nodeIndex,
                                                               Int _numberOfEntitiesAtNode) {
    if (_numberOfEntitiesAtNode < 0) fail(msg::InvalidNumberOfEntities);
    Pmf* state = resetMapAtNode(_nodeIndex, _numberOfEntitiesAtNode);
    lookup(_internalState, _nodeIndex) = state;
}

Pmf* SN::resetMapAtNode(Int _nodeIndex, Int _z0) {
    return stationResetMap(arena(), lookup(_serviceDurationPmfs, _nodeIndex), _z0);
}

// Copies one configuration into another element by element; no container is replaced.
// All or nothing: a first pass makes every lookup the copy makes (a state list shorter
// than N fails one) and only the second writes, so a refused mark or restore leaves both
// configurations as they were.
static void copyConfiguration(SN* self, PmfArray* stateFrom, IntArray* serversFrom, PmfArray* arrivalsFrom,
                              PmfArray* serviceFrom, RealMatrix* routingFrom, PmfArray* stateTo,
                              IntArray* serversTo, PmfArray* arrivalsTo, PmfArray* serviceTo,
                              RealMatrix* routingTo) {
    const Int n = self->_numberOfServers->length;
    for (bool write : {false, true}) {
        auto copy = [write](auto& to, auto from) {
            if (write) to = from;
        };
        for (Int i = 0; i < n; i++) {
            copy(lookup(stateTo, i), lookup(stateFrom, i));
            copy(lookup(serversTo, i), lookup(serversFrom, i));
            copy(lookup(arrivalsTo, i), lookup(arrivalsFrom, i));
            copy(lookup(serviceTo, i), lookup(serviceFrom, i));
            for (Int j = 0; j < n; j++) copy(routing(routingTo, i, j), routing(routingFrom, i, j));
        }
    }
}

void SN::mark() {
    copyConfiguration(this, _internalState, _numberOfServers, _numberOfExternalArrivalsPmfs,
                      _serviceDurationPmfs, _routingProbabilities, _markInternalState,
                      _markNumberOfServers, _markNumberOfExternalArrivalsPmfs,
                      _markServiceDurationPmfs, _markRoutingProbabilities);
    _markTime = _time;
    // The PMFs replaced may be held by nothing now: the call's sweep frees them, so the
    // counters never report memory nobody holds.
    header.isMemModified = true;
}

void SN::restore() {
    copyConfiguration(this, _markInternalState, _markNumberOfServers,
                      _markNumberOfExternalArrivalsPmfs, _markServiceDurationPmfs,
                      _markRoutingProbabilities, _internalState, _numberOfServers,
                      _numberOfExternalArrivalsPmfs, _serviceDurationPmfs,
                      _routingProbabilities);
    _time = _markTime;
    header.isMemModified = true;  // as in mark
}

Pmf* SN::convolution(Pmf* _p1, Pmf* _p2) { return movra::convolution(arena(), _p1, _p2); }

Pmf* SN::relabel(Int _nodeIndex, Int _z) {
    return stationRelabel(arena(), lookup(_internalState, _nodeIndex), _z);
}

namespace {
// Completion distributions of every node, shared by the flows out of a node and by its
// own maps within one step (all read the state at the start of the step).
class StepCompletions {
public:
    explicit StepCompletions(SN* self) : tables_(self->_numberOfServers->length) {
        try {
            for (int64_t k = 0; k < tables_.size(); k++) {
                tables_[k] = new (std::nothrow) CompletionRuns(lookup(self->_internalState, Int(k)),
                                                               lookup(self->_numberOfServers, Int(k)));
                if (tables_[k] == nullptr) fail(msg::OutOfMemory);
            }
        } catch (...) {
            clear();
            throw;
        }
    }
    ~StepCompletions() { clear(); }
    StepCompletions(const StepCompletions&) = delete;
    StepCompletions& operator=(const StepCompletions&) = delete;
    const CompletionRuns& at(Int node) const { return *tables_[node]; }

private:
    void clear() {
        for (int64_t k = 0; k < tables_.size(); k++) delete tables_[k];
    }
    ScratchBuffer<CompletionRuns*> tables_;  // one per node, owned
};

// The (z, d) outcomes of positive weight at one node, in loop order, with the weight
// p(z) p(d) that the flows out of the node give each: the same for every destination.
class Departures {
public:
    Departures(SN* self, Int s, const CompletionRuns& completions) {
        Pmf* dist_z = lookupMarginalPmf(lookup(self->_internalState, s));
        int64_t n = 0;
        for (Int iz = 0; iz < dist_z->simple.length; iz++)
            if (dist_z->simple.elements[iz] > 0) n += completions.at(iz).count;
        weight_.reset(n);
        trials_.reset(n);
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
                count_++;
            }
        }
    }
    // The weights of the flow put into acc; routed holds Binomial(d, routing).
    void flowInto(BinomialRuns& routed, SimpleAccumulator& acc) const {
        // The phi loop: weight (p(z) p(d)) p(phi) at phi, in one pass.
        for (int64_t i = 0; i < count_; i++) acc.putScaled(weight_[i], routed.forTrials(trials_[i]));
    }
    // Whether some weight is > 0: a flow with routing 0 puts exactly those at 0.
    bool any() const {
        for (int64_t i = 0; i < count_; i++)
            if (weight_[i] > 0) return true;
        return false;
    }

private:
    ScratchBuffer<Real> weight_;  // p(z) p(d)
    ScratchBuffer<Int> trials_;   // d
    int64_t count_ = 0;
};

StationStep nodeStep(SN* self, Int k, const PmfRun& arrivals, const CompletionRuns& completions) {
    return StationStep{self->arena(),
                       lookup(self->_internalState, k),
                       lookup(self->_numberOfServers, k),
                       arrivals,
                       lookup(self->_serviceDurationPmfs, k),
                       true,
                       routing(self->_routingProbabilities, k, k),
                       &completions};
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

Pmf* SN::movraMapAtNode(Int _nodeIndex, Pmf* _internalFlowIn, Int _leftTail,
                                                Int _rightTail) {
    Pmf* state = lookup(_internalState, _nodeIndex);
    CompletionRuns completions(state, lookup(_numberOfServers, _nodeIndex));
    Pmf* arrivals = nodeArrivals(this, _nodeIndex, _internalFlowIn);
    return stationFullMap(nodeStep(this, _nodeIndex, PmfRun::of(arrivals), completions), _leftTail,
                          _rightTail);
}

// The flows, the inflows and the arrivals of a step are the PMFs flow, convolution and
// the node maps' arrivals would make, kept in scratch: nothing of them outlives the step.
void SN::step() {
    MovraObject* obj = arena();
    const Int n = _numberOfServers->length;
    for (Int s = 0; s < n; s++) {
        Real _sourceSum = 0.0;
        for (Int t = 0; t < n; t++) _sourceSum += routing(_routingProbabilities, s, t);
        if (_sourceSum > 1) fail(msg::InvalidRouting);
    }
    StepCompletions completions(this);
    // _flowIn[t]: the inflow of node t gathered so far, first 0 with probability 1.
    std::unique_ptr<ScratchPmf[]> _flowIn(new ScratchPmf[size_t(n)]);
    for (Int t = 0; t < n; t++) {
        _flowIn[t].elements.reset(1);
        _flowIn[t].elements[0] = 1.0;
        _flowIn[t].length = 1;
    }
    SimpleAccumulator flowAcc(obj), sumAcc(obj);
    ScratchPmf flowPmf;
    for (Int s = 0; s < n; s++) {
        const CompletionRuns& from = completions.at(s);
        const Departures departures(this, s, from);
        BinomialRuns routed(0.0, from.maxTrials());
        flowAcc.clear();
        flowAcc.reserve(0, from.maxTrials());  // phi <= d
        for (Int t = 0; t < n; t++) {
            if (t == s) continue;
            const Real r = routing(_routingProbabilities, s, t);
            if (r <= 0) {
                // No completion moves: all weight at 0, which normalises to exactly 1.
                if (!departures.any()) fail(msg::EmptyPmf);
                flowPmf.elements.reset(1);
                flowPmf.elements[0] = 1.0;
                flowPmf.offset = 0;
                flowPmf.length = 1;
            } else {
                routed.reset(r);
                flowAcc.clear();
                departures.flowInto(routed, flowAcc);
                flowAcc.toScratch(flowPmf);
            }
            sumAcc.clear();
            convolve(_flowIn[t].run(), flowPmf.run(), sumAcc);
            sumAcc.toScratch(_flowIn[t]);
        }
    }
    // The next state is built whole, beside the current one (entries past N, from a longer
    // state list, come along unchanged), and replaces it in one move: a step that fails
    // at any node leaves every node and the time as they were.
    PmfArray* next = allocatePmfArray(obj, _internalState->length);
    for (Int k = 0; k < _internalState->length; k++) next->elements[k] = _internalState->elements[k];
    ScratchPmf arrivals;
    for (Int k = 0; k < n; k++) {
        // The node's arrivals are the same for both of its maps: formed once.
        sumAcc.clear();
        convolve(PmfRun::of(lookup(_numberOfExternalArrivalsPmfs, k)), _flowIn[k].run(), sumAcc);
        sumAcc.toScratch(arrivals);
        StationStep quantities = nodeStep(this, k, arrivals.run(), completions.at(k));
        Pmf* _p = stationPartialMap(quantities);
        Int _leftTail, _rightTail;
        stationTails(_p, _leftTail, _rightTail);
        lookup(next, k) = stationFullMap(quantities, _leftTail, _rightTail);
    }
    _internalState = next;
    // Wraps at the top of the Int range instead of overflowing.
    _time = Int(uint32_t(_time) + 1u);
}

Pmf* SN::observationMapRangeAtNode(Int _nodeIndex, int64_t _z0, int64_t _z1) {
    return stationObservationMapRange(arena(), lookup(_internalState, _nodeIndex), _z0, _z1);
}

void SN::applyObservationRangeAtNode(Int _nodeIndex, Int _startOfRange,
                                                             Int _endOfRange) {
    Pmf* state = observationMapRangeAtNode(_nodeIndex, _startOfRange, _endOfRange);
    lookup(_internalState, _nodeIndex) = state;
}

void SN::applyObservationValueAtNode(Int _nodeIndex,
                                                             Int _observedNumberOfEntitiesInSystem) {
    Pmf* state = observationMapRangeAtNode(
        _nodeIndex, _observedNumberOfEntitiesInSystem, int64_t(_observedNumberOfEntitiesInSystem) + 1);
    lookup(_internalState, _nodeIndex) = state;
}

}  // namespace movra
