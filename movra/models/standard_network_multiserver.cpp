#include "standard_network_multiserver.h"

#include <memory>
#include <vector>

#include "../pmf/accumulator.h"
#include "../pmf/distributions.h"
#include "../pmf/pmf_query.h"
#include "../pmf/sampling_stack.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "station_map.h"

using SN = StandardNetworkMultiserver;

static MovraObject* arena(SN* self) { return &self->header; }

static Real& routing(RealMatrix* m, Int source, Int destination) {
    return lookup(lookup(m, source), destination);
}

void _StandardNetworkMultiserver_memRelease(MovraObject* obj) {
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

void _StandardNetworkMultiserver_defaults(SN* self) {
    MovraObject* obj = arena(self);
    self->_internalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2));
    self->_time = 0;
    self->_numberOfServers = defaultIntArray(obj);
    self->_numberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_serviceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_routingProbabilities = defaultRealMatrix(obj);
    self->_markInternalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2));
    self->_markTime = 0;
    self->_markNumberOfServers = defaultIntArray(obj);
    self->_markNumberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_markServiceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_markRoutingProbabilities = defaultRealMatrix(obj);
}

// Service duration 1 with certainty at every node.
static PmfArray* unitServiceDurations(MovraObject* obj, Int n) {
    PmfArray* a = allocatePmfArray(obj, n);
    for (Int i = 0; i < n; i++) {
        SimpleAccumulator acc(obj);
        acc.putSingle(1.0, 1);
        a->elements[i] = acc.toPmf();
    }
    return a;
}

void _StandardNetworkMultiserver_init(SN* self, Int _numberOfNodes) {
    if (_numberOfNodes <= 0) abort(msg::InvalidNumberOfNodes);
    MovraObject* obj = arena(self);
    const Int n = _numberOfNodes;
    self->_internalState = createPmfArray(obj, createJointPmfConfig(obj, 2), n);
    self->_time = 0;
    self->_numberOfServers = createIntArray(obj, n);
    self->_numberOfExternalArrivalsPmfs = createPmfArray(obj, createSimplePmfConfig(obj), n);
    self->_serviceDurationPmfs = unitServiceDurations(obj, n);
    self->_routingProbabilities = createRealMatrix(obj, n, n);
    self->_markInternalState = createPmfArray(obj, createJointPmfConfig(obj, 2), n);
    self->_markNumberOfServers = createIntArray(obj, n);
    self->_markNumberOfExternalArrivalsPmfs = createPmfArray(obj, createSimplePmfConfig(obj), n);
    self->_markServiceDurationPmfs = unitServiceDurations(obj, n);
    self->_markRoutingProbabilities = createRealMatrix(obj, n, n);
}

Int _StandardNetworkMultiserver_getNumberOfNodes(SN* self) { return self->_numberOfServers->length; }

Int _StandardNetworkMultiserver_getNumberOfServersAtNode(SN* self, Int _nodeIndex) {
    return lookup(self->_numberOfServers, _nodeIndex);
}

void _StandardNetworkMultiserver_setNumberOfServersAtNode(SN* self, Int _nodeIndex, Int _n) {
    if (_n < 0) abort(msg::InvalidNumberOfServers);
    lookup(self->_numberOfServers, _nodeIndex) = _n;
}

Pmf* _StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf(SN* self, Int _nodeIndex) {
    return lookup(self->_numberOfExternalArrivalsPmfs, _nodeIndex);
}

void _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf(SN* self, Int _nodeIndex,
                                                                      Pmf* _numberOfExternalArrivalsPmf) {
    lookup(self->_numberOfExternalArrivalsPmfs, _nodeIndex) = _numberOfExternalArrivalsPmf;
}

Pmf* _StandardNetworkMultiserver_getServiceDurationAtNodePmf(SN* self, Int _nodeIndex) {
    return lookup(self->_serviceDurationPmfs, _nodeIndex);
}

void _StandardNetworkMultiserver_setServiceDurationAtNodePmf(SN* self, Int _nodeIndex,
                                                             Pmf* _serviceDurationPmf) {
    if (_serviceDurationPmf->simple.offset == 0) abort(msg::InvalidServiceDuration);
    lookup(self->_serviceDurationPmfs, _nodeIndex) = _serviceDurationPmf;
}

Real _StandardNetworkMultiserver_getRoutingProbability(SN* self, Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex) {
    return routing(self->_routingProbabilities, _sourceNodeIndex, _destinationNodeIndex);
}

void _StandardNetworkMultiserver_setRoutingProbability(SN* self, Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex, Real _probability) {
    // NaN is refused too: it would pass the step's row check and poison every flow.
    if (!(_probability >= 0 && _probability <= 1)) abort(msg::InvalidProbability);
    routing(self->_routingProbabilities, _sourceNodeIndex, _destinationNodeIndex) = _probability;
}

Pmf* _StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf(SN* self, Int _nodeIndex) {
    return lookupMarginalPmf(lookup(self->_internalState, _nodeIndex));
}

void _StandardNetworkMultiserver_resetNodeWithNumberOfEntities(SN* self, Int _nodeIndex,
                                                               Int _numberOfEntitiesAtNode) {
    if (_numberOfEntitiesAtNode < 0) abort(msg::InvalidNumberOfEntities);
    Pmf* state = _StandardNetworkMultiserver_resetMapAtNode(self, _nodeIndex, _numberOfEntitiesAtNode);
    lookup(self->_internalState, _nodeIndex) = state;
}

Pmf* _StandardNetworkMultiserver_resetMapAtNode(SN* self, Int _nodeIndex, Int _z0) {
    return stationResetMap(arena(self), lookup(self->_serviceDurationPmfs, _nodeIndex), _z0);
}

// Copies one configuration into another element by element; no container is replaced.
static void copyConfiguration(SN* self, PmfArray* stateFrom, IntArray* serversFrom, PmfArray* arrivalsFrom,
                              PmfArray* serviceFrom, RealMatrix* routingFrom, PmfArray* stateTo,
                              IntArray* serversTo, PmfArray* arrivalsTo, PmfArray* serviceTo,
                              RealMatrix* routingTo) {
    const Int n = self->_numberOfServers->length;
    for (Int i = 0; i < n; i++) {
        lookup(stateTo, i) = lookup(stateFrom, i);
        lookup(serversTo, i) = lookup(serversFrom, i);
        lookup(arrivalsTo, i) = lookup(arrivalsFrom, i);
        lookup(serviceTo, i) = lookup(serviceFrom, i);
        for (Int j = 0; j < n; j++) routing(routingTo, i, j) = routing(routingFrom, i, j);
    }
}

void _StandardNetworkMultiserver_mark(SN* self) {
    self->_markTime = self->_time;
    copyConfiguration(self, self->_internalState, self->_numberOfServers, self->_numberOfExternalArrivalsPmfs,
                      self->_serviceDurationPmfs, self->_routingProbabilities, self->_markInternalState,
                      self->_markNumberOfServers, self->_markNumberOfExternalArrivalsPmfs,
                      self->_markServiceDurationPmfs, self->_markRoutingProbabilities);
}

void _StandardNetworkMultiserver_restore(SN* self) {
    self->_time = self->_markTime;
    copyConfiguration(self, self->_markInternalState, self->_markNumberOfServers,
                      self->_markNumberOfExternalArrivalsPmfs, self->_markServiceDurationPmfs,
                      self->_markRoutingProbabilities, self->_internalState, self->_numberOfServers,
                      self->_numberOfExternalArrivalsPmfs, self->_serviceDurationPmfs,
                      self->_routingProbabilities);
}

Pmf* _StandardNetworkMultiserver_convolution(SN* self, Pmf* _p1, Pmf* _p2) {
    SamplingStack stack(2);
    SimpleAccumulator acc(arena(self));
    for (Int i = 0; i < _p1->simple.length; i++) {
        Real prob_x = _p1->simple.elements[i];
        if (!(prob_x > 0)) continue;
        const int64_t x = int64_t(_p1->simple.offset) + i;
        stack.set(0, prob_x);
        for (Int j = 0; j < _p2->simple.length; j++) {
            Real prob_y = _p2->simple.elements[j];
            if (!(prob_y > 0)) continue;
            stack.branch(1, prob_y);
            int64_t sum = x + _p2->simple.offset + j;
            if (sum > INT32_MAX) abort(msg::OutOfMemory);  // not representable as an Int
            acc.putSingle(stack.branchProbability(1), Int(sum));
        }
    }
    return acc.toPmf();
}

Pmf* _StandardNetworkMultiserver_relabel(SN* self, Int _nodeIndex, Int _z) {
    return stationRelabel(arena(self), lookup(self->_internalState, _nodeIndex), _z);
}

namespace {
// Completion distributions per node, formed on first use and shared by the flows out of a
// node and by its own maps within one step (all read the state at the start of the step).
class StepCompletions {
public:
    StepCompletions(SN* self) : self_(self), tables_(size_t(self->_numberOfServers->length)) {}
    Pmf** at(Int node) {
        std::unique_ptr<CompletionTable>& t = tables_.at(size_t(node));
        if (!t)
            t.reset(new CompletionTable(arena(self_), lookup(self_->_internalState, node),
                                        lookup(self_->_numberOfServers, node)));
        return t->table;
    }

private:
    SN* self_;
    std::vector<std::unique_ptr<CompletionTable>> tables_;
};

Pmf* flow(SN* self, Int s, Int t, Pmf** completions) {
    MovraObject* obj = arena(self);
    Pmf* dist_z = lookupMarginalPmf(lookup(self->_internalState, s));
    const Real r = routing(self->_routingProbabilities, s, t);
    std::vector<Pmf*> routedByD;  // Binomial(d, r), formed once per d
    SamplingStack stack(3);
    SimpleAccumulator acc(obj);
    for (Int iz = 0; iz < dist_z->simple.length; iz++) {
        Real prob_z = dist_z->simple.elements[iz];
        if (!(prob_z > 0)) continue;
        stack.set(0, prob_z);
        Pmf* dist_d = completions[iz];
        for (Int id = 0; id < dist_d->simple.length; id++) {
            Real prob_d = dist_d->simple.elements[id];
            if (!(prob_d > 0)) continue;
            Int d = dist_d->simple.offset + id;
            stack.branch(1, prob_d);
            if (size_t(d) >= routedByD.size()) routedByD.resize(size_t(d) + 1, nullptr);
            if (routedByD[d] == nullptr) routedByD[d] = binomial(obj, d, r);
            Pmf* dist_phi = routedByD[d];
            for (Int iphi = 0; iphi < dist_phi->simple.length; iphi++) {
                Real prob_phi = dist_phi->simple.elements[iphi];
                if (!(prob_phi > 0)) continue;
                stack.branch(2, prob_phi);
                acc.putSingle(stack.branchProbability(2), dist_phi->simple.offset + iphi);
            }
        }
    }
    return acc.toPmf();
}

StationStep nodeStep(SN* self, Int k, Pmf* arrivals, Pmf** completions) {
    return StationStep{arena(self),
                       lookup(self->_internalState, k),
                       lookup(self->_numberOfServers, k),
                       arrivals,
                       lookup(self->_serviceDurationPmfs, k),
                       true,
                       routing(self->_routingProbabilities, k, k),
                       completions};
}

Pmf* nodeArrivals(SN* self, Int k, Pmf* internalFlowIn) {
    return _StandardNetworkMultiserver_convolution(self, lookup(self->_numberOfExternalArrivalsPmfs, k),
                                                  internalFlowIn);
}
}  // namespace

Pmf* _StandardNetworkMultiserver_flow(SN* self, Int _sourceNodeIndex, Int _destinationNodeIndex) {
    Pmf* state = lookup(self->_internalState, _sourceNodeIndex);
    CompletionTable completions(arena(self), state, lookup(self->_numberOfServers, _sourceNodeIndex));
    return flow(self, _sourceNodeIndex, _destinationNodeIndex, completions.table);
}

Pmf* _StandardNetworkMultiserver_partialMovraMapAtNode(SN* self, Int _nodeIndex, Pmf* _internalFlowIn) {
    Pmf* state = lookup(self->_internalState, _nodeIndex);
    CompletionTable completions(arena(self), state, lookup(self->_numberOfServers, _nodeIndex));
    Pmf* arrivals = nodeArrivals(self, _nodeIndex, _internalFlowIn);
    return stationPartialMap(nodeStep(self, _nodeIndex, arrivals, completions.table));
}

Pmf* _StandardNetworkMultiserver_movraMapAtNode(SN* self, Int _nodeIndex, Pmf* _internalFlowIn, Int _leftTail,
                                                Int _rightTail) {
    Pmf* state = lookup(self->_internalState, _nodeIndex);
    CompletionTable completions(arena(self), state, lookup(self->_numberOfServers, _nodeIndex));
    Pmf* arrivals = nodeArrivals(self, _nodeIndex, _internalFlowIn);
    return stationFullMap(nodeStep(self, _nodeIndex, arrivals, completions.table), _leftTail, _rightTail);
}

void _StandardNetworkMultiserver_step(SN* self) {
    MovraObject* obj = arena(self);
    const Int n = self->_numberOfServers->length;
    PmfArray* _flowIn = createPmfArray(obj, createSimplePmfConfig(obj), n);
    for (Int s = 0; s < n; s++) {
        Real _sourceSum = 0.0;
        for (Int t = 0; t < n; t++) _sourceSum += routing(self->_routingProbabilities, s, t);
        if (_sourceSum > 1) abort(msg::InvalidRouting);
    }
    StepCompletions completions(self);
    for (Int s = 0; s < n; s++) {
        for (Int t = 0; t < n; t++) {
            if (t == s) continue;
            Pmf* f = flow(self, s, t, completions.at(s));
            lookup(_flowIn, t) = _StandardNetworkMultiserver_convolution(self, lookup(_flowIn, t), f);
        }
    }
    for (Int k = 0; k < n; k++) {
        // The node's arrivals are the same for both of its maps: formed once.
        StationStep step = nodeStep(self, k, nodeArrivals(self, k, lookup(_flowIn, k)), completions.at(k));
        Pmf* _p = stationPartialMap(step);
        Int _leftTail, _rightTail;
        stationTails(_p, _leftTail, _rightTail);
        lookup(self->_internalState, k) = stationFullMap(step, _leftTail, _rightTail);
    }
    // Wraps at the top of the Int range instead of overflowing.
    self->_time = Int(uint32_t(self->_time) + 1u);
}

Pmf* _StandardNetworkMultiserver_observationMapRangeAtNode(SN* self, Int _nodeIndex, int64_t _z0, int64_t _z1) {
    return stationObservationMapRange(arena(self), lookup(self->_internalState, _nodeIndex), _z0, _z1);
}

void _StandardNetworkMultiserver_applyObservationRangeAtNode(SN* self, Int _nodeIndex, Int _startOfRange,
                                                             Int _endOfRange) {
    Pmf* state = _StandardNetworkMultiserver_observationMapRangeAtNode(self, _nodeIndex, _startOfRange, _endOfRange);
    lookup(self->_internalState, _nodeIndex) = state;
}

void _StandardNetworkMultiserver_applyObservationValueAtNode(SN* self, Int _nodeIndex,
                                                             Int _observedNumberOfEntitiesInSystem) {
    Pmf* state = _StandardNetworkMultiserver_observationMapRangeAtNode(
        self, _nodeIndex, _observedNumberOfEntitiesInSystem, int64_t(_observedNumberOfEntitiesInSystem) + 1);
    lookup(self->_internalState, _nodeIndex) = state;
}
