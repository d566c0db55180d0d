// The exact network: N stations joined by routing probabilities, carried as one joint PMF
// over the stations' exact states (number at the node and the multiset of the busy
// servers' remaining times), kept on its probable support. Configuration, node indices
// and their messages are those of StandardNetworkMultiserver; only the state differs.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "../containers/arrays.h"
#include "../containers/sparse_matrix.h"
#include "configuration.h"
#include "network_configuration.h"

namespace movra {

// The joint state: one arena block, never changed once built, so mark shares it. A key
// is, node after node, z, b and the b busy servers' remaining times in ascending order;
// the joint states are sorted by key, compared Int by Int. Every probability is positive
// and they sum to 1.
struct ExactJointState {
    MemHeader memHeader;
    Int nodes;
    int64_t count;          // joint states
    int64_t words;          // Ints of all the keys together
    Trailing<double> data;  // count probabilities, count + 1 key offsets, the keys

    double* probabilities() { return data; }
    int64_t* offsets() { return reinterpret_cast<int64_t*>(probabilities() + count); }
    Int* keys() { return reinterpret_cast<Int*>(offsets() + count + 1); }
    const Int* key(int64_t i) { return keys() + offsets()[i]; }
};

// A root of the sweep: one block.
inline void flag(ExactJointState* s) { flagBlock(s); }

// The state of n empty nodes (configuration.h).
void setNodeDefault(MovraObject* obj, ExactJointState*& field, FieldKind, Int n);

// Refuses an operation whose result would hold more joint states than the limit: the
// message names both numbers (atLeast: the count is a lower bound) and the way out.
[[noreturn]] void failTooManyStates(const char* what, double needed, bool atLeast, int64_t limit);
// The same for the fresh service durations of `starting` servers at one node.
[[noreturn]] void failTooManyStarts(const char* what, Int starting, int64_t limit);

// Default of max_states: about 10^6 joint states, a few hundred MB at the most during a step.
constexpr int64_t kDefaultNetworkMaxStates = 1000000;

struct ExactNetworkMultiserver : NetworkConfiguration<ExactNetworkMultiserver> {
    MovraObject header;  // arena and counters; must stay first
    ExactJointState* _state;
    Int _time;
    IntArray* _numberOfServers;  // servers per node; length = N
    PmfArray* _numberOfExternalArrivalsPmfs;
    PmfArray* _serviceDurationPmfs;
    SparseRealMatrix* _routingProbabilities;  // N x N, row = source; only entries other than 0
    ExactJointState* _markState;              // saved by mark
    Int _markTime;
    IntArray* _markNumberOfServers;
    PmfArray* _markNumberOfExternalArrivalsPmfs;
    PmfArray* _markServiceDurationPmfs;
    SparseRealMatrix* _markRoutingProbabilities;
    int64_t _maxStates;        // most joint states a result may hold
    int64_t _lastStepEntries;  // successor entries the last step gathered

    MovraObject* arena() { return &header; }
    // The configuration: every field with its saved copy (configuration.h).
    template <class Visit>
    void forEachField(Visit&& visit) {
        visit(_state, _markState, FieldKind::ExactState, "internal_state");
        visit(_time, _markTime, FieldKind::Number, "time");
        visit(_numberOfServers, _markNumberOfServers, FieldKind::Count, "number_of_servers");
        visit(_numberOfExternalArrivalsPmfs, _markNumberOfExternalArrivalsPmfs,
              FieldKind::SimplePmf, "number_of_external_arrivals_pmfs");
        visit(_serviceDurationPmfs, _markServiceDurationPmfs, FieldKind::Duration,
              "service_duration_pmfs");
        visit(_routingProbabilities, _markRoutingProbabilities, FieldKind::Number,
              "routing_probabilities");
    }
    static void memRelease(MovraObject* obj);
    void defaults();
    void init(Int _numberOfNodes);
    void setMaxStates(int64_t _limit);

    void step();
    void resetNodeWithNumberOfEntities(Int _nodeIndex, Int _numberOfEntitiesAtNode);
    void applyObservationRangeAtNode(Int _nodeIndex, Int _startOfRange, Int _endOfRange);
    void applyObservationValueAtNode(Int _nodeIndex, Int _value);

    Pmf* getNumberOfEntitiesAtNodePmf(Int _nodeIndex);
    Pmf* getTotalNumberOfEntitiesPmf();
    // The joint PMF of z at the listed nodes: keys (z of each listed node, in that order)
    // and probabilities, sorted by key.
    std::vector<std::pair<std::vector<Int>, double>> getJointNumberOfEntitiesPmf(
        const std::vector<Int>& _nodeIndexes);

    // The exact state of one node alone, its marginal of the joint: keys (z, remaining
    // times...) and probabilities, sorted by key.
    std::vector<std::pair<std::vector<Int>, double>> getInternalStateAtNode(Int _nodeIndex);

    // Replaces the state with joint states given as keys in the layout of ExactJointState
    // (keys[offsets[i] .. offsets[i+1]) for state i, remaining times in any order) and
    // their weights. Weights <= 0 are left out, equal keys added, the rest normalised.
    // checkBusy demands min(z, c) <= b (the setter; a pickled state may lag a change of
    // servers). Refused whole on any fault.
    void setJointState(const std::vector<Int>& keys, const std::vector<int64_t>& offsets,
                       const std::vector<double>& weights, bool checkBusy);
    // Same layout, but already sorted, unique and normalised: stored bit for bit.
    ExactJointState* readJointState(const std::vector<Int>& keys,
                                    const std::vector<int64_t>& offsets,
                                    const std::vector<double>& probabilities);
};

}  // namespace movra
