// The network model: N stations (nodes) joined by routing probabilities, each node's state
// carried as its own joint PMF of (z, ell); nodes are treated as independent. N is the
// length of _numberOfServers and never changes. Every node index reaches the containers
// through the bounds-checked lookup, the model's only index validation. Each operation is
// a member named after it.
#pragma once
#include "../containers/arrays.h"
#include "../containers/sparse_matrix.h"
#include "configuration.h"
#include "network_configuration.h"

namespace movra {

struct StandardNetworkMultiserver : NetworkConfiguration<StandardNetworkMultiserver> {
    MovraObject header;                       // arena and counters; must stay first
    PmfArray* _internalState;                 // joint PMF of depth 2 per node
    Int _time;                                // steps taken
    IntArray* _numberOfServers;               // servers per node; length = N
    PmfArray* _numberOfExternalArrivalsPmfs;  // outside arrivals per step, per node
    PmfArray* _serviceDurationPmfs;           // service durations (all >= 1), per node
    SparseRealMatrix* _routingProbabilities;  // N x N, row = source, column = destination
    PmfArray* _markInternalState;             // saved copies, written by mark
    Int _markTime;
    IntArray* _markNumberOfServers;
    PmfArray* _markNumberOfExternalArrivalsPmfs;
    PmfArray* _markServiceDurationPmfs;
    SparseRealMatrix* _markRoutingProbabilities;

    MovraObject* arena() { return &header; }
    // The configuration: every field with its saved copy (configuration.h).
    template <class Visit>
    void forEachField(Visit&& visit) {
        visit(_internalState, _markInternalState, FieldKind::JointPmf, "internal_state");
        visit(_time, _markTime, FieldKind::Number, "time");
        visit(_numberOfServers, _markNumberOfServers, FieldKind::Count, "number_of_servers");
        visit(_numberOfExternalArrivalsPmfs, _markNumberOfExternalArrivalsPmfs,
              FieldKind::SimplePmf, "number_of_external_arrivals_pmfs");
        visit(_serviceDurationPmfs, _markServiceDurationPmfs, FieldKind::Duration,
              "service_duration_pmfs");
        visit(_routingProbabilities, _markRoutingProbabilities, FieldKind::Number,
              "routing_probabilities");
    }
    // Marks the container roots of the configuration, then sweeps.
    static void memRelease(MovraObject* obj);
    void defaults();
    void init(Int _numberOfNodes);
    Pmf* getNumberOfEntitiesAtNodePmf(Int _nodeIndex);
    void resetNodeWithNumberOfEntities(Int _nodeIndex, Int _numberOfEntitiesAtNode);
    Pmf* resetMapAtNode(Int _nodeIndex, Int _z0);

    Pmf* convolution(Pmf* _p1, Pmf* _p2);
    Pmf* relabel(Int _nodeIndex, Int _z);
    Pmf* partialMovraMapAtNode(Int _nodeIndex, Pmf* _internalFlowIn);
    Pmf* movraMapAtNode(Int _nodeIndex, Pmf* _internalFlowIn, Int _leftTail, Int _rightTail);
    Pmf* flow(Int _sourceNodeIndex, Int _destinationNodeIndex);
    void step();

    Pmf* observationMapRangeAtNode(Int _nodeIndex, int64_t _z0, int64_t _z1);
    void applyObservationRangeAtNode(Int _nodeIndex, Int _startOfRange, Int _endOfRange);
    void applyObservationValueAtNode(Int _nodeIndex, Int _observedNumberOfEntitiesInSystem);
};

}  // namespace movra
