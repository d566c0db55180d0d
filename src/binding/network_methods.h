// The Python entries and documentation that StandardNetworkMultiserver and
// ExactNetworkMultiserver share word for word: the configuration of each node, its
// observations, reset and marginal, with the same argument counts, conversions and
// messages, written once for either model. step, mark and restore take no argument and
// are the stations' (station_methods.h).
#pragma once
#include "../pmf/pmf_query.h"
#include "convert.h"
#include "protocol.h"

namespace movra {
namespace network_methods {

template <class M>
Int intArg(M* s, PyObject* args, Py_ssize_t i) {
    return Int_fromPy(s->arena(), protocol::arg(args, i));
}
template <class M>
Pmf* simplePmfArg(M* s, PyObject* args, Py_ssize_t i) {
    return confirmSimplePmf(Pmf_fromPy(s->arena(), protocol::arg(args, i), 1));
}

// The construction wrapper: the number of nodes.
template <class M>
PyObject* init(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 1,
                                 [](M* s, PyObject* a) { s->init(intArg(s, a, 0)); });
}

template <class M>
PyObject* applyObservationRangeAtNode(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 3, [](M* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int start = intArg(s, a, 1);
        Int end = intArg(s, a, 2);
        protocol::compute(s, [=] { s->applyObservationRangeAtNode(node, start, end); });
    });
}

// An operation on one node with one number (an observed value, a number to reset to). The
// member pointers here may name a member of the network's configuration base.
template <class M, auto operation>
PyObject* computeAtNode(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 2, [](M* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int value = intArg(s, a, 1);
        protocol::compute(s, [=] { (s->*operation)(node, value); });
    });
}

// Without the interpreter's lock: the exact network sums its joint state for it.
template <class M>
PyObject* getNumberOfEntitiesAtNodePmf(PyObject* self, PyObject* args) {
    return protocol::callValue<M>(self, args, 1, [](M* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Pmf* pmf = nullptr;
        protocol::withoutInterpreterLock([&] { pmf = s->getNumberOfEntitiesAtNodePmf(node); });
        return Pmf_toPy(s->arena(), pmf);
    });
}

template <class M>
PyObject* getNumberOfNodes(PyObject* self, PyObject* args) {
    return protocol::callValue<M>(
        self, args, 0, [](M* s, PyObject*) { return Int_toPy(s->arena(), s->getNumberOfNodes()); });
}

template <class M>
PyObject* getNumberOfServersAtNode(PyObject* self, PyObject* args) {
    return protocol::callValue<M>(self, args, 1, [](M* s, PyObject* a) {
        return Int_toPy(s->arena(), s->getNumberOfServersAtNode(intArg(s, a, 0)));
    });
}

template <class M>
PyObject* setNumberOfServersAtNode(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 2, [](M* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int n = intArg(s, a, 1);
        s->setNumberOfServersAtNode(node, n);
    });
}

// A node's simple PMF (its external arrivals, its service durations), read or set.
template <class M, auto get>
PyObject* getNodePmf(PyObject* self, PyObject* args) {
    return protocol::callValue<M>(self, args, 1, [](M* s, PyObject* a) {
        return Pmf_toPy(s->arena(), (s->*get)(intArg(s, a, 0)));
    });
}

template <class M, auto set>
PyObject* setNodePmf(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 2, [](M* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Pmf* pmf = simplePmfArg(s, a, 1);
        (s->*set)(node, pmf);
    });
}

template <class M>
PyObject* getRoutingProbability(PyObject* self, PyObject* args) {
    return protocol::callValue<M>(self, args, 2, [](M* s, PyObject* a) {
        Int source = intArg(s, a, 0);
        Int destination = intArg(s, a, 1);
        return Real_toPy(s->arena(), s->getRoutingProbability(source, destination));
    });
}

template <class M>
PyObject* setRoutingProbability(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 3, [](M* s, PyObject* a) {
        Int source = intArg(s, a, 0);
        Int destination = intArg(s, a, 1);
        Real probability = Real_fromPy(s->arena(), protocol::arg(a, 2));
        s->setRoutingProbability(source, destination, probability);
    });
}

// ---- documentation both types give alike ------------------------------------------------

constexpr const char* kGetNumberOfEntitiesAtNodePmfDoc =
    "get_number_of_entities_at_node_pmf($self, node, /)\n"
    "--\n"
    "\n"
    "Return the PMF of the number of entities at node, {z: probability}.";

constexpr const char* kGetNumberOfExternalArrivalsAtNodePmfDoc =
    "get_number_of_external_arrivals_at_node_pmf($self, node, /)\n"
    "--\n"
    "\n"
    "Return the PMF of arrivals from outside the network per step at node.";

constexpr const char* kGetNumberOfNodesDoc =
    "get_number_of_nodes($self, /)\n"
    "--\n"
    "\n"
    "Return the number of nodes N, fixed when the network was made.";

constexpr const char* kGetNumberOfServersAtNodeDoc =
    "get_number_of_servers_at_node($self, node, /)\n"
    "--\n"
    "\n"
    "Return the number of servers at node (0 by default).";

constexpr const char* kGetRoutingProbabilityDoc =
    "get_routing_probability($self, source, destination, /)\n"
    "--\n"
    "\n"
    "Return the probability that an entity completing at source moves to destination.";

constexpr const char* kGetServiceDurationAtNodePmfDoc =
    "get_service_duration_at_node_pmf($self, node, /)\n"
    "--\n"
    "\n"
    "Return the PMF of a service duration in steps at node.";

constexpr const char* kSetNumberOfExternalArrivalsAtNodePmfDoc =
    "set_number_of_external_arrivals_at_node_pmf($self, node, pmf, /)\n"
    "--\n"
    "\n"
    "Set the PMF of arrivals from outside per step at node, {count: probability}.";

constexpr const char* kSetRoutingProbabilityDoc =
    "set_routing_probability($self, source, destination, probability, /)\n"
    "--\n"
    "\n"
    "Set the probability that an entity completing at source moves to destination\n"
    "(source itself allowed); what a row leaves below 1 leaves the network.\n"
    "\n"
    "Raises movra.error 'Invalid probability...' outside [0, 1].";

constexpr const char* kSetServiceDurationAtNodePmfDoc =
    "set_service_duration_at_node_pmf($self, node, pmf, /)\n"
    "--\n"
    "\n"
    "Set the PMF of a service duration in steps at node, {steps: probability}.\n"
    "\n"
    "Raises movra.error 'Invalid service duration pmf...' if 0 is possible.";

// The method-table entries of the node configuration, alike in both types.
template <class M>
inline PyMethodDef kNodeMethods[] = {
    {"get_number_of_entities_at_node_pmf", getNumberOfEntitiesAtNodePmf<M>, METH_VARARGS,
     kGetNumberOfEntitiesAtNodePmfDoc},
    {"get_number_of_external_arrivals_at_node_pmf",
     getNodePmf<M, &M::getNumberOfExternalArrivalsAtNodePmf>, METH_VARARGS,
     kGetNumberOfExternalArrivalsAtNodePmfDoc},
    {"get_number_of_nodes", getNumberOfNodes<M>, METH_VARARGS, kGetNumberOfNodesDoc},
    {"get_number_of_servers_at_node", getNumberOfServersAtNode<M>, METH_VARARGS,
     kGetNumberOfServersAtNodeDoc},
    {"get_routing_probability", getRoutingProbability<M>, METH_VARARGS, kGetRoutingProbabilityDoc},
    {"get_service_duration_at_node_pmf", getNodePmf<M, &M::getServiceDurationAtNodePmf>,
     METH_VARARGS, kGetServiceDurationAtNodePmfDoc},
    {"set_number_of_external_arrivals_at_node_pmf",
     setNodePmf<M, &M::setNumberOfExternalArrivalsAtNodePmf>, METH_VARARGS,
     kSetNumberOfExternalArrivalsAtNodePmfDoc},
    {"set_routing_probability", setRoutingProbability<M>, METH_VARARGS, kSetRoutingProbabilityDoc},
    {"set_service_duration_at_node_pmf", setNodePmf<M, &M::setServiceDurationAtNodePmf>,
     METH_VARARGS, kSetServiceDurationAtNodePmfDoc},
};

}  // namespace network_methods
}  // namespace movra
