// The Python type of ExactNetworkMultiserver: the construction wrapper (with the keyword
// max_states), the method and get-set tables and the type object. Every entry runs
// through the call protocol; configuration methods convert and fail as the
// StandardNetworkMultiserver ones do.
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
using EN = ExactNetworkMultiserver;
using protocol::arg;

int ExactNetworkMultiserver_set_maxStates(PyObject* self, PyObject* value, void*) {
    return protocol::set<EN>(self, value, [](EN* s, PyObject* v) {
        if (!PyLong_Check(v)) failImport();
        int overflow = 0;
        long long limit = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0) failImport();
        s->setMaxStates(limit);
    });
}

PyObject* ExactNetworkMultiserver_get_maxStates(PyObject* self, void*) {
    return protocol::get<EN>(self,
                             [](EN* s) { return checked(PyLong_FromLongLong(s->_maxStates)); });
}

PyObject* ExactNetworkMultiserver_get_lastStepEntries(PyObject* self, void*) {
    return protocol::get<EN>(
        self, [](EN* s) { return checked(PyLong_FromLongLong(s->_lastStepEntries)); });
}

// The number of nodes is positional; max_states the one keyword.
PyObject* ExactNetworkMultiserver_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* maxStates = nullptr;
    if (kwds != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "max_states") != 0) {
                PyErr_Format(PyExc_TypeError,
                             "ExactNetworkMultiserver() got an unexpected keyword argument %R",
                             key);
                return nullptr;
            }
            maxStates = value;
        }
    }
    PyRef self(protocol::construct<EN>(type, args, network_methods::init<EN>));
    if (self.get() == nullptr) return nullptr;
    if (maxStates != nullptr &&
        ExactNetworkMultiserver_set_maxStates(self.get(), maxStates, nullptr) < 0)
        return nullptr;
    return self.release();
}

PyObject* ExactNetworkMultiserver_getTotalNumberOfEntitiesPmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<EN>(self, args, 0, [](EN* s, PyObject*) {
        Pmf* pmf = nullptr;
        protocol::withoutInterpreterLock([&] { pmf = s->getTotalNumberOfEntitiesPmf(); });
        return Pmf_toPy(s->arena(), pmf);
    });
}

PyObject* ExactNetworkMultiserver_getJointNumberOfEntitiesPmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<EN>(self, args, 1, [](EN* s, PyObject* a) {
        PyObject* nodes = arg(a, 0);
        if (!PyList_Check(nodes) && !PyTuple_Check(nodes)) failImport();
        // Held while read: an item's conversion may run Python code that changes a list.
        PyRef items(checked(PySequence_Tuple(nodes)));
        std::vector<Int> indexes;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); i++)
            indexes.push_back(Int_fromPy(s->arena(), PyTuple_GET_ITEM(items.get(), i)));
        std::vector<std::pair<std::vector<Int>, double>> joint;
        protocol::withoutInterpreterLock([&] { joint = s->getJointNumberOfEntitiesPmf(indexes); });
        PyRef dict(checked(PyDict_New()));
        for (const auto& [zs, p] : joint) {
            PyRef key(checked(PyTuple_New(Py_ssize_t(zs.size()))));
            for (size_t t = 0; t < zs.size(); t++)
                PyTuple_SET_ITEM(key.get(), Py_ssize_t(t), checked(PyLong_FromLong(zs[t])));
            PyRef value(checked(PyFloat_FromDouble(p)));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError();
        }
        return dict.release();
    });
}

PyObject* ExactNetworkMultiserver_getInternalStateAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<EN>(self, args, 1, [](EN* s, PyObject* a) {
        Int node = network_methods::intArg(s, a, 0);
        std::vector<std::pair<std::vector<Int>, double>> states;
        protocol::withoutInterpreterLock([&] { states = s->getInternalStateAtNode(node); });
        PyRef dict(checked(PyDict_New()));
        for (const auto& [key, p] : states) {
            PyRef times(checked(PyTuple_New(Py_ssize_t(key.size() - 1))));
            for (size_t t = 1; t < key.size(); t++)
                PyTuple_SET_ITEM(times.get(), Py_ssize_t(t - 1), checked(PyLong_FromLong(key[t])));
            PyRef pair(checked(PyTuple_New(2)));
            PyTuple_SET_ITEM(pair.get(), 0, checked(PyLong_FromLong(key[0])));
            PyTuple_SET_ITEM(pair.get(), 1, times.release());
            PyRef value(checked(PyFloat_FromDouble(p)));
            if (PyDict_SetItem(dict.get(), pair.get(), value.get()) < 0) throw PythonError();
        }
        return dict.release();
    });
}

// {((z0, (r, ...)), (z1, (...)), ...): p}
PyObject* ExactNetworkMultiserver_get_internalState(PyObject* self, void*) {
    return protocol::get<EN>(self, [](EN* s) {
        ExactJointState* state = s->_state;
        PyRef dict(checked(PyDict_New()));
        for (int64_t j = 0; j < state->count; j++) {
            const Int* key = state->key(j);
            PyRef joint(checked(PyTuple_New(state->nodes)));
            for (Int i = 0; i < state->nodes; i++) {
                const Int z = key[0], b = key[1];
                PyRef times(checked(PyTuple_New(b)));
                for (Int t = 0; t < b; t++)
                    PyTuple_SET_ITEM(times.get(), t, checked(PyLong_FromLong(key[2 + t])));
                PyRef node(checked(PyTuple_New(2)));
                PyTuple_SET_ITEM(node.get(), 0, checked(PyLong_FromLong(z)));
                PyTuple_SET_ITEM(node.get(), 1, times.release());
                PyTuple_SET_ITEM(joint.get(), i, node.release());
                key += 2 + b;
            }
            PyRef value(checked(PyFloat_FromDouble(state->probabilities()[j])));
            if (PyDict_SetItem(dict.get(), joint.get(), value.get()) < 0) throw PythonError();
        }
        return dict.release();
    });
}

int ExactNetworkMultiserver_set_internalState(PyObject* self, PyObject* value, void*) {
    return protocol::set<EN>(self, value, [](EN* s, PyObject* v) {
        if (!PyDict_Check(v)) failImport();
        if (PyDict_GET_SIZE(v) == 0) fail(msg::EmptyDictionary);
        // Refused before anything is converted.
        if (PyDict_GET_SIZE(v) > s->_maxStates)
            failTooManyStates("the state", double(PyDict_GET_SIZE(v)), false, s->_maxStates);
        const Int nodes = s->getNumberOfNodes();
        std::vector<Int> keys;
        std::vector<int64_t> offsets{0};
        std::vector<double> weights;
        // Exact ints, tuples and floats are read through accessors that run no Python
        // code, so the borrowed items stay valid.
        Py_ssize_t pos = 0;
        PyObject *key, *weight;
        while (PyDict_Next(v, &pos, &key, &weight)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != nodes) failImport();
            for (Int i = 0; i < nodes; i++) {
                PyObject* node = PyTuple_GET_ITEM(key, i);
                if (!PyTuple_Check(node) || PyTuple_GET_SIZE(node) != 2) failImport();
                PyObject* times = PyTuple_GET_ITEM(node, 1);
                if (!PyTuple_Check(times)) failImport();
                keys.push_back(strictInt_fromPy(PyTuple_GET_ITEM(node, 0)));
                keys.push_back(Int(PyTuple_GET_SIZE(times)));
                for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(times); t++)
                    keys.push_back(strictInt_fromPy(PyTuple_GET_ITEM(times, t)));
            }
            offsets.push_back(int64_t(keys.size()));
            if (!PyFloat_Check(weight) && !PyLong_Check(weight)) failImport();
            double w = PyFloat_Check(weight) ? PyFloat_AS_DOUBLE(weight) : PyLong_AsDouble(weight);
            if (w == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                failImport();
            }
            weights.push_back(w);
        }
        s->setJointState(keys, offsets, weights, true);
    });
}

PyDoc_STRVAR(ExactNetworkMultiserver_doc,
             "ExactNetworkMultiserver(number_of_nodes, /, *, max_states=1000000)\n"
             "--\n"
             "\n"
             "N queueing stations (nodes) joined by routing probabilities, carried exactly.\n"
             "\n"
             "The state is one joint PMF over the nodes' exact states: at each node the number of\n"
             "entities z and the remaining times of its busy servers. Departures correlated from\n"
             "step to step, and what an observation of one node says about the others, are kept.\n"
             "Configuration, timing and routing are those of StandardNetworkMultiserver; per node\n"
             "the rules of an exact station: when servers are lowered no service is interrupted.\n"
             "\n"
             "Tail rule: after each step the least probable joint states are dropped while their\n"
             "total stays within 1e-9 of the mass (ties broken by state, so runs repeat bit for\n"
             "bit), and the rest is renormalised.\n"
             "\n"
             "Cost follows the support, which grows about tenfold per station: this type is for\n"
             "small networks. A step, reset or state assignment that would hold more than\n"
             "max_states joint states is refused with movra.error naming both numbers, and the\n"
             "instance is left as it was.");

PyDoc_STRVAR(
    step_doc,
    "step($self, /)\n"
    "--\n"
    "\n"
    "Map the joint state one time step forward and add 1 to time.\n"
    "\n"
    "At every node the busy servers count down and those at 1 complete; each completion\n"
    "goes to node j with routing probability (i, j), itself included, or leaves with what\n"
    "the row leaves below 1; routed entities join their destination with that step's\n"
    "external arrivals; then idle servers take waiting entities with fresh durations.\n"
    "The tail rule of the class then applies.\n"
    "\n"
    "Raises movra.error 'Invalid routing probabilities...' if a row sums to more than 1,\n"
    "'Too many joint states...' past max_states (the state is then unchanged).");

PyDoc_STRVAR(applyObservationRangeAtNode_doc,
             "apply_observation_range_at_node($self, node, start, end, /)\n"
             "--\n"
             "\n"
             "Condition the joint state on start <= z < end at node (end excluded): every node's\n"
             "PMF moves with it.\n"
             "\n"
             "Raises movra.error 'Empty pmf' if no joint state of positive probability has such\n"
             "z, 'Lookup index out of range' for a bad node.");

PyDoc_STRVAR(applyObservationValueAtNode_doc,
             "apply_observation_value_at_node($self, node, value, /)\n"
             "--\n"
             "\n"
             "Condition the joint state on z == value at node.\n"
             "\n"
             "Raises movra.error 'Empty pmf' if that z has probability 0.");

PyDoc_STRVAR(mark_doc,
             "mark($self, /)\n"
             "--\n"
             "\n"
             "Save the configuration, the joint state and time in the one saved slot.");

PyDoc_STRVAR(restore_doc,
             "restore($self, /)\n"
             "--\n"
             "\n"
             "Bring back what mark() saved (without an earlier mark(): the new network's\n"
             "defaults). max_states is not part of it.");

PyDoc_STRVAR(getJointNumberOfEntitiesPmf_doc,
             "get_joint_number_of_entities_pmf($self, nodes, /)\n"
             "--\n"
             "\n"
             "Return the joint PMF of the numbers of entities at the listed nodes (a list or\n"
             "tuple of indexes), {(z_a, z_b, ...): probability}, keys in the order given.");

PyDoc_STRVAR(getTotalNumberOfEntitiesPmf_doc,
             "get_total_number_of_entities_pmf($self, /)\n"
             "--\n"
             "\n"
             "Return the PMF of the number of entities in the whole network.");

PyDoc_STRVAR(getInternalStateAtNode_doc,
             "get_internal_state_at_node($self, node, /)\n"
             "--\n"
             "\n"
             "Return node's exact state alone, its marginal of the joint state:\n"
             "{(z, (r, ...)): probability}, the busy servers' remaining times ascending.");

PyDoc_STRVAR(
    setNumberOfServersAtNode_doc,
    "set_number_of_servers_at_node($self, node, n, /)\n"
    "--\n"
    "\n"
    "Set the number of servers at node. Every node starts with 0: set each one.\n"
    "Lowering it interrupts no service: waiting entities start once fewer than n are busy.\n"
    "\n"
    "Raises movra.error 'Invalid number of servers...' for n < 0.");

PyDoc_STRVAR(resetNodeWithNumberOfEntities_doc,
             "reset_node_with_number_of_entities($self, node, n, /)\n"
             "--\n"
             "\n"
             "Put n entities at node, min(n, servers) of them in service with remaining times\n"
             "drawn independently from its service PMF; the other nodes keep their joint PMF,\n"
             "independent of this node from now on. time is unchanged.\n"
             "\n"
             "Raises movra.error for n < 0, 'Too many joint states...' past max_states.");

PyMethodDef ExactNetworkMultiserver_ownMethods[] = {
    {"step", station_methods::step<EN>, METH_VARARGS, step_doc},
    {"apply_observation_range_at_node", network_methods::applyObservationRangeAtNode<EN>,
     METH_VARARGS, applyObservationRangeAtNode_doc},
    {"apply_observation_value_at_node",
     network_methods::computeAtNode<EN, &EN::applyObservationValueAtNode>, METH_VARARGS,
     applyObservationValueAtNode_doc},
    {"mark", station_methods::mark<EN>, METH_VARARGS, mark_doc},
    {"restore", station_methods::restore<EN>, METH_VARARGS, restore_doc},
    {"get_joint_number_of_entities_pmf", ExactNetworkMultiserver_getJointNumberOfEntitiesPmf_Py,
     METH_VARARGS, getJointNumberOfEntitiesPmf_doc},
    {"get_total_number_of_entities_pmf", ExactNetworkMultiserver_getTotalNumberOfEntitiesPmf_Py,
     METH_VARARGS, getTotalNumberOfEntitiesPmf_doc},
    {"get_internal_state_at_node", ExactNetworkMultiserver_getInternalStateAtNode_Py, METH_VARARGS,
     getInternalStateAtNode_doc},
    {"set_number_of_servers_at_node", network_methods::setNumberOfServersAtNode<EN>, METH_VARARGS,
     setNumberOfServersAtNode_doc},
    {"reset_node_with_number_of_entities",
     network_methods::computeAtNode<EN, &EN::resetNodeWithNumberOfEntities>, METH_VARARGS,
     resetNodeWithNumberOfEntities_doc},
};
auto ExactNetworkMultiserver_methods =
    tableOf(ExactNetworkMultiserver_ownMethods, network_methods::kNodeMethods<EN>,
            protocol::kCopyMethods<EN>);

PyGetSetDef ExactNetworkMultiserver_ownGetSet[] = {
    {"internal_state", ExactNetworkMultiserver_get_internalState,
     ExactNetworkMultiserver_set_internalState,
     "The joint state, {((z0, (r, ...)), (z1, (r, ...)), ...): probability}: per node the\n"
     "number of entities and its busy servers' remaining times, ascending. The setter checks\n"
     "min(z, servers) <= len(r) <= z and r >= 1, leaves out weights <= 0 and normalises.",
     nullptr},
    {"max_states", ExactNetworkMultiserver_get_maxStates, ExactNetworkMultiserver_set_maxStates,
     "Most joint states a step, reset or state assignment may produce (int >= 1).", nullptr},
    {"_last_step_entries", ExactNetworkMultiserver_get_lastStepEntries, nullptr,
     "Successor entries (joint state, weight) the last step gathered, for benchmarks.", nullptr},
};
auto ExactNetworkMultiserver_getset =
    tableOf(ExactNetworkMultiserver_ownGetSet, protocol::kCounterGetSet<EN>);

// "<movra.ExactNetworkMultiserver: 3 nodes, 728 joint states, time 10>"
PyObject* ExactNetworkMultiserver_repr(PyObject* self) {
    return protocol::get<EN>(self, [self](EN* s) {
        const int nodes = int(s->getNumberOfNodes());
        const long long states = static_cast<long long>(s->_state->count);
        return checked(PyUnicode_FromFormat("<%s: %d node%s, %lld joint state%s, time %d>",
                                            Py_TYPE(self)->tp_name, nodes, nodes == 1 ? "" : "s",
                                            states, states == 1 ? "" : "s", int(s->_time)));
    });
}
}  // namespace

PyTypeObject ExactNetworkMultiserverType = modelType(
    "movra.ExactNetworkMultiserver", sizeof(ExactNetworkMultiserverObject), dealloc<EN>,
    ExactNetworkMultiserver_methods.data(), nullptr, ExactNetworkMultiserver_getset.data(),
    ExactNetworkMultiserver_new, ExactNetworkMultiserver_doc, ExactNetworkMultiserver_repr);

}  // namespace movra
