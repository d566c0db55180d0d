// The node configuration both networks keep under the same field names (_numberOfServers,
// _numberOfExternalArrivalsPmfs, _serviceDurationPmfs, _routingProbabilities), with its
// getters and setters, mark and restore, written once: a network derives from
// NetworkConfiguration<itself>, which holds no field, so the record keeps its layout
// (the arena header first). Every node index reaches the containers through the
// bounds-checked lookup, the networks' only index validation.
#pragma once
#include "../containers/arrays.h"
#include "../containers/sparse_matrix.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "configuration.h"

namespace movra {

template <class Network>
struct NetworkConfiguration {
    Int getNumberOfNodes() { return self()._numberOfServers->length; }

    Int getNumberOfServersAtNode(Int _nodeIndex) {
        return lookup(self()._numberOfServers, _nodeIndex);
    }
    void setNumberOfServersAtNode(Int _nodeIndex, Int _n) {
        if (_n < 0) fail(msg::InvalidNumberOfServers);
        lookup(self()._numberOfServers, _nodeIndex) = _n;
    }

    Pmf* getNumberOfExternalArrivalsAtNodePmf(Int _nodeIndex) {
        return lookup(self()._numberOfExternalArrivalsPmfs, _nodeIndex);
    }
    void setNumberOfExternalArrivalsAtNodePmf(Int _nodeIndex, Pmf* _pmf) {
        lookup(self()._numberOfExternalArrivalsPmfs, _nodeIndex) = _pmf;
    }

    Pmf* getServiceDurationAtNodePmf(Int _nodeIndex) {
        return lookup(self()._serviceDurationPmfs, _nodeIndex);
    }
    void setServiceDurationAtNodePmf(Int _nodeIndex, Pmf* _pmf) {
        if (_pmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
        lookup(self()._serviceDurationPmfs, _nodeIndex) = _pmf;
    }

    Real getRoutingProbability(Int _sourceNodeIndex, Int _destinationNodeIndex) {
        return lookup(self()._routingProbabilities, _sourceNodeIndex, _destinationNodeIndex);
    }
    void setRoutingProbability(Int _sourceNodeIndex, Int _destinationNodeIndex, Real _probability) {
        // NaN is refused too: it would pass the step's row check and poison every flow.
        if (!(_probability >= 0 && _probability <= 1)) fail(msg::InvalidProbability);
        assign(self().arena(), self()._routingProbabilities, _sourceNodeIndex,
               _destinationNodeIndex, _probability);
    }

    // The whole configuration saved node by node into the containers of the saved copy
    // (records shared: they never change once made), or brought back from it.
    void mark() { copy(true); }
    void restore() { copy(false); }

private:
    Network& self() { return static_cast<Network&>(*this); }
    void copy(bool save) {
        configuration::copyByNode(self(), getNumberOfNodes(), save);
        // What was replaced may be held by nothing now: the call's sweep frees it, so the
        // counters never report memory nobody holds.
        self().header.isMemModified = true;
    }
};

}  // namespace movra
