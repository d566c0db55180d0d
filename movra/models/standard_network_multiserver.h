// The network model: N stations (nodes) joined by routing probabilities, each node's state
// carried as its own joint PMF of (z, ell); nodes are treated as independent. N is the
// length of _numberOfServers and never changes. Every node index reaches the containers
// through the bounds-checked lookup, the model's only index validation.
#pragma once
#include <Python.h>

#include "../containers/arrays.h"

struct _StandardNetworkMultiserver_object {
    MovraObject header;
    PmfArray* _internalState;                     // joint PMF of depth 2 per node
    Int _time;                                    // steps taken
    IntArray* _numberOfServers;                   // servers per node; length = N
    PmfArray* _numberOfExternalArrivalsPmfs;      // outside arrivals per step, per node
    PmfArray* _serviceDurationPmfs;               // service durations (all >= 1), per node
    RealMatrix* _routingProbabilities;            // N x N, row = source, column = destination
    PmfArray* _markInternalState;                 // saved copies, written by mark
    Int _markTime;
    IntArray* _markNumberOfServers;
    PmfArray* _markNumberOfExternalArrivalsPmfs;
    PmfArray* _markServiceDurationPmfs;
    RealMatrix* _markRoutingProbabilities;
};
typedef _StandardNetworkMultiserver_object StandardNetworkMultiserver;

extern PyTypeObject _StandardNetworkMultiserver_Type;

void _StandardNetworkMultiserver_memRelease(MovraObject* obj);
void _StandardNetworkMultiserver_defaults(StandardNetworkMultiserver* self);
void _StandardNetworkMultiserver_init(StandardNetworkMultiserver* self, Int _numberOfNodes);
Int _StandardNetworkMultiserver_getNumberOfNodes(StandardNetworkMultiserver* self);
Int _StandardNetworkMultiserver_getNumberOfServersAtNode(StandardNetworkMultiserver* self, Int _nodeIndex);
void _StandardNetworkMultiserver_setNumberOfServersAtNode(StandardNetworkMultiserver* self, Int _nodeIndex,
                                                          Int _n);
Pmf* _StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf(StandardNetworkMultiserver* self,
                                                                      Int _nodeIndex);
void _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf(StandardNetworkMultiserver* self,
                                                                      Int _nodeIndex,
                                                                      Pmf* _numberOfExternalArrivalsPmf);
Pmf* _StandardNetworkMultiserver_getServiceDurationAtNodePmf(StandardNetworkMultiserver* self, Int _nodeIndex);
void _StandardNetworkMultiserver_setServiceDurationAtNodePmf(StandardNetworkMultiserver* self, Int _nodeIndex,
                                                             Pmf* _serviceDurationPmf);
Real _StandardNetworkMultiserver_getRoutingProbability(StandardNetworkMultiserver* self,
                                                       Int _sourceNodeIndex, Int _destinationNodeIndex);
void _StandardNetworkMultiserver_setRoutingProbability(StandardNetworkMultiserver* self,
                                                       Int _sourceNodeIndex, Int _destinationNodeIndex,
                                                       Real _probability);
Pmf* _StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf(StandardNetworkMultiserver* self, Int _nodeIndex);
void _StandardNetworkMultiserver_resetNodeWithNumberOfEntities(StandardNetworkMultiserver* self,
                                                               Int _nodeIndex, Int _numberOfEntitiesAtNode);
Pmf* _StandardNetworkMultiserver_resetMapAtNode(StandardNetworkMultiserver* self, Int _nodeIndex, Int _z0);
void _StandardNetworkMultiserver_mark(StandardNetworkMultiserver* self);
void _StandardNetworkMultiserver_restore(StandardNetworkMultiserver* self);

Pmf* _StandardNetworkMultiserver_convolution(StandardNetworkMultiserver* self, Pmf* _p1, Pmf* _p2);
Pmf* _StandardNetworkMultiserver_relabel(StandardNetworkMultiserver* self, Int _nodeIndex, Int _z);
Pmf* _StandardNetworkMultiserver_partialMovraMapAtNode(StandardNetworkMultiserver* self, Int _nodeIndex,
                                                       Pmf* _internalFlowIn);
Pmf* _StandardNetworkMultiserver_movraMapAtNode(StandardNetworkMultiserver* self, Int _nodeIndex,
                                                Pmf* _internalFlowIn, Int _leftTail, Int _rightTail);
Pmf* _StandardNetworkMultiserver_flow(StandardNetworkMultiserver* self, Int _sourceNodeIndex,
                                      Int _destinationNodeIndex);
void _StandardNetworkMultiserver_step(StandardNetworkMultiserver* self);

Pmf* _StandardNetworkMultiserver_observationMapRangeAtNode(StandardNetworkMultiserver* self, Int _nodeIndex,
                                                           int64_t _z0, int64_t _z1);
void _StandardNetworkMultiserver_applyObservationRangeAtNode(StandardNetworkMultiserver* self, Int _nodeIndex,
                                                             Int _startOfRange, Int _endOfRange);
void _StandardNetworkMultiserver_applyObservationValueAtNode(StandardNetworkMultiserver* self, Int _nodeIndex,
                                                             Int _observedNumberOfEntitiesInSystem);
