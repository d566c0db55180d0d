// The Python type of StandardNetworkMultiserver: the construction wrapper, the method, member
// and get-set tables and the type object. Every entry runs through the call protocol.
#include <cstddef>

#include "../containers/array_checks.h"
#include "convert.h"
#include "copy_protocols.h"
#include "network_methods.h"
#include "protocol.h"
#include "station_methods.h"
#include "type_object.h"

namespace movra {

namespace {
using SN = StandardNetworkMultiserver;

PyObject* StandardNetworkMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return protocol::construct<SN>(type, args, network_methods::init<SN>);
}

PyObject* StandardNetworkMultiserver_get_internalState(PyObject* self, void*) {
    return protocol::get<SN>(self,
                             [](SN* s) { return PmfArray_toPy(s->arena(), s->_internalState); });
}

int StandardNetworkMultiserver_set_internalState(PyObject* self, PyObject* value, void*) {
    return protocol::set<SN>(self, value, [](SN* s, PyObject* v) {
        PmfArray* state = confirmJointPmfArray(PmfArray_fromPy(s->arena(), v, 2), 2);
        s->_internalState = state;
    });
}

PyDoc_STRVAR(StandardNetworkMultiserver_doc,
             "StandardNetworkMultiserver(number_of_nodes, /)\n"
             "--\n"
             "\n"
             "N queueing stations (nodes) joined by routing probabilities.\n"
             "\n"
             "Each node has its own servers, external-arrival PMF and service-duration PMF, and\n"
             "its state is a joint PMF over (z, ell) as in StandardMultiserver. An entity that\n"
             "completes service at node i moves to node j with the routing probability (i, j)\n"
             "and leaves the network with what row i leaves below 1. Nodes are carried as\n"
             "independent PMFs, an approximation wherever departures are correlated.\n"
             "\n"
             "A new network has 0 servers at every node (set each one), no external arrivals,\n"
             "service {1: 1.0}, no routing and every node empty. Failures raise movra.error.");

PyDoc_STRVAR(step_doc,
             "step($self, /)\n"
             "--\n"
             "\n"
             "Map every node one time step forward and add 1 to time.\n"
             "\n"
             "From the state at the start of the step: the completions at each node are routed\n"
             "(each goes to node j with its routing probability, or leaves the network), then\n"
             "each node is mapped like a station with its external arrivals plus what was routed\n"
             "to it. Nodes are carried as independent PMFs: an approximation wherever departures\n"
             "are correlated from step to step.\n"
             "\n"
             "Raises movra.error 'Invalid routing probabilities...' if a row sums to more than 1.");

PyDoc_STRVAR(applyObservationRangeAtNode_doc,
             "apply_observation_range_at_node($self, node, start, end, /)\n"
             "--\n"
             "\n"
             "Condition node's state on start <= z < end (end excluded).\n"
             "\n"
             "Raises movra.error 'Empty pmf' if no z of positive probability is in the range,\n"
             "'Lookup index out of range' for a bad node.");

PyDoc_STRVAR(applyObservationValueAtNode_doc,
             "apply_observation_value_at_node($self, node, value, /)\n"
             "--\n"
             "\n"
             "Condition node's state on z == value.\n"
             "\n"
             "Raises movra.error 'Empty pmf' if that z has probability 0.");

PyDoc_STRVAR(mark_doc,
             "mark($self, /)\n"
             "--\n"
             "\n"
             "Save the whole configuration (every node's PMFs, servers, state, the routing\n"
             "and time) in the one saved slot.");

PyDoc_STRVAR(restore_doc,
             "restore($self, /)\n"
             "--\n"
             "\n"
             "Bring back the configuration saved by mark().\n"
             "\n"
             "Without an earlier mark() this restores the slot's defaults (no servers, service\n"
             "{1: 1.0}, no routing, every node empty).");

PyDoc_STRVAR(setNumberOfServersAtNode_doc,
             "set_number_of_servers_at_node($self, node, n, /)\n"
             "--\n"
             "\n"
             "Set the number of servers at node. Every node starts with 0: set each one.\n"
             "\n"
             "Raises movra.error 'Invalid number of servers...' for n < 0.");

PyDoc_STRVAR(resetNodeWithNumberOfEntities_doc,
             "reset_node_with_number_of_entities($self, node, n, /)\n"
             "--\n"
             "\n"
             "Set node's state to n entities with certainty (a fresh service duration for the\n"
             "one in service). time is unchanged.\n"
             "\n"
             "Raises movra.error for n < 0.");

PyMethodDef StandardNetworkMultiserver_ownMethods[] = {
    {"step", station_methods::step<SN>, METH_VARARGS, step_doc},
    {"apply_observation_range_at_node", network_methods::applyObservationRangeAtNode<SN>,
     METH_VARARGS, applyObservationRangeAtNode_doc},
    {"apply_observation_value_at_node",
     network_methods::computeAtNode<SN, &SN::applyObservationValueAtNode>, METH_VARARGS,
     applyObservationValueAtNode_doc},
    {"mark", station_methods::mark<SN>, METH_VARARGS, mark_doc},
    {"restore", station_methods::restore<SN>, METH_VARARGS, restore_doc},
    {"set_number_of_servers_at_node", network_methods::setNumberOfServersAtNode<SN>, METH_VARARGS,
     setNumberOfServersAtNode_doc},
    {"reset_node_with_number_of_entities",
     network_methods::computeAtNode<SN, &SN::resetNodeWithNumberOfEntities>, METH_VARARGS,
     resetNodeWithNumberOfEntities_doc},
};
auto StandardNetworkMultiserver_methods =
    tableOf(StandardNetworkMultiserver_ownMethods, network_methods::kNodeMethods<SN>,
            protocol::kCopyMethods<SN>);

PyGetSetDef StandardNetworkMultiserver_ownGetSet[] = {
    {"internal_state", StandardNetworkMultiserver_get_internalState,
     StandardNetworkMultiserver_set_internalState,
     "List of the nodes' states, each a joint PMF {(z, ell): probability}.", nullptr},
};
auto StandardNetworkMultiserver_getset =
    tableOf(StandardNetworkMultiserver_ownGetSet, protocol::kCounterGetSet<SN>);
// "<movra.StandardNetworkMultiserver: 3 nodes, time 10>"
PyObject* StandardNetworkMultiserver_repr(PyObject* self) {
    return protocol::get<SN>(self, [self](SN* s) {
        int nodes = int(s->getNumberOfNodes());
        return checked(PyUnicode_FromFormat("<%s: %d node%s, time %d>", Py_TYPE(self)->tp_name,
                                            nodes, nodes == 1 ? "" : "s", int(s->_time)));
    });
}
}  // namespace

PyTypeObject StandardNetworkMultiserverType =
    modelType("movra.StandardNetworkMultiserver", sizeof(StandardNetworkMultiserverObject),
              dealloc<SN>, StandardNetworkMultiserver_methods.data(), nullptr,
              StandardNetworkMultiserver_getset.data(), StandardNetworkMultiserver_new,
              StandardNetworkMultiserver_doc, StandardNetworkMultiserver_repr);

}  // namespace movra
