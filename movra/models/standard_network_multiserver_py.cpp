// Python face of StandardNetworkMultiserver: the construction wrapper, the method, member
// and get-set tables and the type object. Every entry runs through the call protocol.
#include <cstddef>

#include "../binding/convert.h"
#include "../binding/members.h"
#include "../binding/protocol.h"
#include "../pmf/pmf_query.h"
#include "standard_network_multiserver.h"

namespace {
using SN = StandardNetworkMultiserver;
using protocol::arg;
const MemRelease memRelease = _StandardNetworkMultiserver_memRelease;
MovraObject* arena(SN* self) { return &self->header; }
Int intArg(SN* s, PyObject* args, Py_ssize_t i) { return Int_fromPy(arena(s), arg(args, i)); }
Pmf* simplePmfArg(SN* s, PyObject* args, Py_ssize_t i) {
    return confirmSimplePmf(Pmf_fromPy(arena(s), arg(args, i)));
}

PyObject* _StandardNetworkMultiserver_init_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 1, memRelease, [](SN* s, PyObject* a) {
        _StandardNetworkMultiserver_init(s, intArg(s, a, 0));
    });
}

PyObject* _StandardNetworkMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return protocol::construct<SN>(type, args, memRelease, _StandardNetworkMultiserver_defaults,
                                   _StandardNetworkMultiserver_init_Py);
}

PyObject* _StandardNetworkMultiserver_step_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 0, memRelease,
                                  [](SN* s, PyObject*) { _StandardNetworkMultiserver_step(s); });
}

PyObject* _StandardNetworkMultiserver_applyObservationRangeAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 3, memRelease, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int start = intArg(s, a, 1);
        Int end = intArg(s, a, 2);
        _StandardNetworkMultiserver_applyObservationRangeAtNode(s, node, start, end);
    });
}

PyObject* _StandardNetworkMultiserver_applyObservationValueAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, memRelease, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int value = intArg(s, a, 1);
        _StandardNetworkMultiserver_applyObservationValueAtNode(s, node, value);
    });
}

PyObject* _StandardNetworkMultiserver_mark_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 0, memRelease,
                                  [](SN* s, PyObject*) { _StandardNetworkMultiserver_mark(s); });
}

PyObject* _StandardNetworkMultiserver_restore_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 0, memRelease,
                                  [](SN* s, PyObject*) { _StandardNetworkMultiserver_restore(s); });
}

PyObject* _StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, memRelease, [](SN* s, PyObject* a) {
        return Pmf_toPy(arena(s), _StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf(s, intArg(s, a, 0)));
    });
}

PyObject* _StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, memRelease, [](SN* s, PyObject* a) {
        return Pmf_toPy(arena(s),
                        _StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf(s, intArg(s, a, 0)));
    });
}

PyObject* _StandardNetworkMultiserver_getNumberOfNodes_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 0, memRelease, [](SN* s, PyObject*) {
        return Int_toPy(arena(s), _StandardNetworkMultiserver_getNumberOfNodes(s));
    });
}

PyObject* _StandardNetworkMultiserver_getNumberOfServersAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, memRelease, [](SN* s, PyObject* a) {
        return Int_toPy(arena(s), _StandardNetworkMultiserver_getNumberOfServersAtNode(s, intArg(s, a, 0)));
    });
}

PyObject* _StandardNetworkMultiserver_getRoutingProbability_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 2, memRelease, [](SN* s, PyObject* a) {
        Int source = intArg(s, a, 0);
        Int destination = intArg(s, a, 1);
        return Real_toPy(arena(s), _StandardNetworkMultiserver_getRoutingProbability(s, source, destination));
    });
}

PyObject* _StandardNetworkMultiserver_getServiceDurationAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, memRelease, [](SN* s, PyObject* a) {
        return Pmf_toPy(arena(s), _StandardNetworkMultiserver_getServiceDurationAtNodePmf(s, intArg(s, a, 0)));
    });
}

PyObject* _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, memRelease, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Pmf* pmf = simplePmfArg(s, a, 1);
        _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf(s, node, pmf);
    });
}

PyObject* _StandardNetworkMultiserver_setNumberOfServersAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, memRelease, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int n = intArg(s, a, 1);
        _StandardNetworkMultiserver_setNumberOfServersAtNode(s, node, n);
    });
}

PyObject* _StandardNetworkMultiserver_setRoutingProbability_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 3, memRelease, [](SN* s, PyObject* a) {
        Int source = intArg(s, a, 0);
        Int destination = intArg(s, a, 1);
        Real probability = Real_fromPy(arena(s), arg(a, 2));
        _StandardNetworkMultiserver_setRoutingProbability(s, source, destination, probability);
    });
}

PyObject* _StandardNetworkMultiserver_setServiceDurationAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, memRelease, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Pmf* pmf = simplePmfArg(s, a, 1);
        _StandardNetworkMultiserver_setServiceDurationAtNodePmf(s, node, pmf);
    });
}

PyObject* _StandardNetworkMultiserver_resetNodeWithNumberOfEntities_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, memRelease, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int n = intArg(s, a, 1);
        _StandardNetworkMultiserver_resetNodeWithNumberOfEntities(s, node, n);
    });
}

PyObject* _StandardNetworkMultiserver_get_internalState(PyObject* self, void*) {
    return protocol::get<SN>(self, memRelease, [](SN* s) { return PmfArray_toPy(arena(s), s->_internalState); });
}

int _StandardNetworkMultiserver_set_internalState(PyObject* self, PyObject* value, void*) {
    return protocol::set<SN>(self, value, memRelease, [](SN* s, PyObject* v) {
        PmfArray* state = confirmJointPmfArray(PmfArray_fromPy(arena(s), v), 2);
        s->_internalState = state;
    });
}

PyMethodDef _StandardNetworkMultiserver_methods[] = {
    {"step", _StandardNetworkMultiserver_step_Py, METH_VARARGS, nullptr},
    {"apply_observation_range_at_node", _StandardNetworkMultiserver_applyObservationRangeAtNode_Py, METH_VARARGS,
     nullptr},
    {"apply_observation_value_at_node", _StandardNetworkMultiserver_applyObservationValueAtNode_Py, METH_VARARGS,
     nullptr},
    {"mark", _StandardNetworkMultiserver_mark_Py, METH_VARARGS, nullptr},
    {"restore", _StandardNetworkMultiserver_restore_Py, METH_VARARGS, nullptr},
    {"get_number_of_entities_at_node_pmf", _StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf_Py,
     METH_VARARGS, nullptr},
    {"get_number_of_external_arrivals_at_node_pmf",
     _StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf_Py, METH_VARARGS, nullptr},
    {"get_number_of_nodes", _StandardNetworkMultiserver_getNumberOfNodes_Py, METH_VARARGS, nullptr},
    {"get_number_of_servers_at_node", _StandardNetworkMultiserver_getNumberOfServersAtNode_Py, METH_VARARGS,
     nullptr},
    {"get_routing_probability", _StandardNetworkMultiserver_getRoutingProbability_Py, METH_VARARGS, nullptr},
    {"get_service_duration_at_node_pmf", _StandardNetworkMultiserver_getServiceDurationAtNodePmf_Py,
     METH_VARARGS, nullptr},
    {"set_number_of_external_arrivals_at_node_pmf",
     _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf_Py, METH_VARARGS, nullptr},
    {"set_number_of_servers_at_node", _StandardNetworkMultiserver_setNumberOfServersAtNode_Py, METH_VARARGS,
     nullptr},
    {"set_routing_probability", _StandardNetworkMultiserver_setRoutingProbability_Py, METH_VARARGS, nullptr},
    {"set_service_duration_at_node_pmf", _StandardNetworkMultiserver_setServiceDurationAtNodePmf_Py,
     METH_VARARGS, nullptr},
    {"reset_node_with_number_of_entities", _StandardNetworkMultiserver_resetNodeWithNumberOfEntities_Py,
     METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef _StandardNetworkMultiserver_members[] = {
    {"time", MOVRA_T_INT, offsetof(SN, _time), 0, nullptr},
    {"current_memory_use", MOVRA_T_ULONGLONG, offsetof(MovraObject, currentMemoryUse), MOVRA_READONLY,
     nullptr},
    {"peak_memory_use", MOVRA_T_ULONGLONG, offsetof(MovraObject, peakMemoryUse), MOVRA_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef _StandardNetworkMultiserver_getset[] = {
    {"internal_state", _StandardNetworkMultiserver_get_internalState, _StandardNetworkMultiserver_set_internalState,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

PyTypeObject _StandardNetworkMultiserver_Type =
    modelType("movra.StandardNetworkMultiserver", sizeof(SN), dealloc,
              _StandardNetworkMultiserver_methods, _StandardNetworkMultiserver_members,
              _StandardNetworkMultiserver_getset, _StandardNetworkMultiserver_new);
