// The Python type of StandardNetworkMultiserver: the construction wrapper, the method, member
// and get-set tables and the type object. Every entry runs through the call protocol.
#include <cstddef>

#include "../containers/array_checks.h"
#include "../pmf/pmf_query.h"
#include "convert.h"
#include "protocol.h"
#include "type_object.h"

namespace movra {

namespace {
using SN = StandardNetworkMultiserver;
using protocol::arg;
Int intArg(SN* s, PyObject* args, Py_ssize_t i) { return Int_fromPy(s->arena(), arg(args, i)); }
Pmf* simplePmfArg(SN* s, PyObject* args, Py_ssize_t i) {
    return confirmSimplePmf(Pmf_fromPy(s->arena(), arg(args, i), 1));
}

PyObject* StandardNetworkMultiserver_init_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 1, [](SN* s, PyObject* a) {
        s->init(intArg(s, a, 0));
    });
}

PyObject* StandardNetworkMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return protocol::construct<SN>(type, args, StandardNetworkMultiserver_init_Py);
}

PyObject* StandardNetworkMultiserver_step_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 0,
                                  [](SN* s, PyObject*) { s->step(); });
}

PyObject* StandardNetworkMultiserver_applyObservationRangeAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 3, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int start = intArg(s, a, 1);
        Int end = intArg(s, a, 2);
        s->applyObservationRangeAtNode(node, start, end);
    });
}

PyObject* StandardNetworkMultiserver_applyObservationValueAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int value = intArg(s, a, 1);
        s->applyObservationValueAtNode(node, value);
    });
}

PyObject* StandardNetworkMultiserver_mark_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 0,
                                  [](SN* s, PyObject*) { s->mark(); });
}

PyObject* StandardNetworkMultiserver_restore_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 0,
                                  [](SN* s, PyObject*) { s->restore(); });
}

PyObject* StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, [](SN* s, PyObject* a) {
        return Pmf_toPy(s->arena(), s->getNumberOfEntitiesAtNodePmf(intArg(s, a, 0)));
    });
}

PyObject* StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, [](SN* s, PyObject* a) {
        return Pmf_toPy(s->arena(),
                        s->getNumberOfExternalArrivalsAtNodePmf(intArg(s, a, 0)));
    });
}

PyObject* StandardNetworkMultiserver_getNumberOfNodes_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 0, [](SN* s, PyObject*) {
        return Int_toPy(s->arena(), s->getNumberOfNodes());
    });
}

PyObject* StandardNetworkMultiserver_getNumberOfServersAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, [](SN* s, PyObject* a) {
        return Int_toPy(s->arena(), s->getNumberOfServersAtNode(intArg(s, a, 0)));
    });
}

PyObject* StandardNetworkMultiserver_getRoutingProbability_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 2, [](SN* s, PyObject* a) {
        Int source = intArg(s, a, 0);
        Int destination = intArg(s, a, 1);
        return Real_toPy(s->arena(), s->getRoutingProbability(source, destination));
    });
}

PyObject* StandardNetworkMultiserver_getServiceDurationAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SN>(self, args, 1, [](SN* s, PyObject* a) {
        return Pmf_toPy(s->arena(), s->getServiceDurationAtNodePmf(intArg(s, a, 0)));
    });
}

PyObject* StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Pmf* pmf = simplePmfArg(s, a, 1);
        s->setNumberOfExternalArrivalsAtNodePmf(node, pmf);
    });
}

PyObject* StandardNetworkMultiserver_setNumberOfServersAtNode_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int n = intArg(s, a, 1);
        s->setNumberOfServersAtNode(node, n);
    });
}

PyObject* StandardNetworkMultiserver_setRoutingProbability_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 3, [](SN* s, PyObject* a) {
        Int source = intArg(s, a, 0);
        Int destination = intArg(s, a, 1);
        Real probability = Real_fromPy(s->arena(), arg(a, 2));
        s->setRoutingProbability(source, destination, probability);
    });
}

PyObject* StandardNetworkMultiserver_setServiceDurationAtNodePmf_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Pmf* pmf = simplePmfArg(s, a, 1);
        s->setServiceDurationAtNodePmf(node, pmf);
    });
}

PyObject* StandardNetworkMultiserver_resetNodeWithNumberOfEntities_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SN>(self, args, 2, [](SN* s, PyObject* a) {
        Int node = intArg(s, a, 0);
        Int n = intArg(s, a, 1);
        s->resetNodeWithNumberOfEntities(node, n);
    });
}

PyObject* StandardNetworkMultiserver_get_internalState(PyObject* self, void*) {
    return protocol::get<SN>(self, [](SN* s) { return PmfArray_toPy(s->arena(), s->_internalState); });
}

int StandardNetworkMultiserver_set_internalState(PyObject* self, PyObject* value, void*) {
    return protocol::set<SN>(self, value, [](SN* s, PyObject* v) {
        PmfArray* state = confirmJointPmfArray(PmfArray_fromPy(s->arena(), v, 2), 2);
        s->_internalState = state;
    });
}

PyMethodDef StandardNetworkMultiserver_methods[] = {
    {"step", StandardNetworkMultiserver_step_Py, METH_VARARGS, nullptr},
    {"apply_observation_range_at_node", StandardNetworkMultiserver_applyObservationRangeAtNode_Py, METH_VARARGS,
     nullptr},
    {"apply_observation_value_at_node", StandardNetworkMultiserver_applyObservationValueAtNode_Py, METH_VARARGS,
     nullptr},
    {"mark", StandardNetworkMultiserver_mark_Py, METH_VARARGS, nullptr},
    {"restore", StandardNetworkMultiserver_restore_Py, METH_VARARGS, nullptr},
    {"get_number_of_entities_at_node_pmf", StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf_Py,
     METH_VARARGS, nullptr},
    {"get_number_of_external_arrivals_at_node_pmf",
     StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf_Py, METH_VARARGS, nullptr},
    {"get_number_of_nodes", StandardNetworkMultiserver_getNumberOfNodes_Py, METH_VARARGS, nullptr},
    {"get_number_of_servers_at_node", StandardNetworkMultiserver_getNumberOfServersAtNode_Py, METH_VARARGS,
     nullptr},
    {"get_routing_probability", StandardNetworkMultiserver_getRoutingProbability_Py, METH_VARARGS, nullptr},
    {"get_service_duration_at_node_pmf", StandardNetworkMultiserver_getServiceDurationAtNodePmf_Py,
     METH_VARARGS, nullptr},
    {"set_number_of_external_arrivals_at_node_pmf",
     StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf_Py, METH_VARARGS, nullptr},
    {"set_number_of_servers_at_node", StandardNetworkMultiserver_setNumberOfServersAtNode_Py, METH_VARARGS,
     nullptr},
    {"set_routing_probability", StandardNetworkMultiserver_setRoutingProbability_Py, METH_VARARGS, nullptr},
    {"set_service_duration_at_node_pmf", StandardNetworkMultiserver_setServiceDurationAtNodePmf_Py,
     METH_VARARGS, nullptr},
    {"reset_node_with_number_of_entities", StandardNetworkMultiserver_resetNodeWithNumberOfEntities_Py,
     METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef StandardNetworkMultiserver_members[] = {
    {"time", MOVRA_T_INT, MOVRA_MODEL_OFFSET(SN, _time), 0, nullptr},
    {"current_memory_use", MOVRA_T_ULONGLONG, MOVRA_MODEL_OFFSET(SN, header.currentMemoryUse),
     MOVRA_READONLY, nullptr},
    {"peak_memory_use", MOVRA_T_ULONGLONG, MOVRA_MODEL_OFFSET(SN, header.peakMemoryUse), MOVRA_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef StandardNetworkMultiserver_getset[] = {
    {"internal_state", StandardNetworkMultiserver_get_internalState, StandardNetworkMultiserver_set_internalState,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

PyTypeObject StandardNetworkMultiserverType =
    modelType("movra.StandardNetworkMultiserver", sizeof(StandardNetworkMultiserverObject), dealloc<SN>,
              StandardNetworkMultiserver_methods, StandardNetworkMultiserver_members,
              StandardNetworkMultiserver_getset, StandardNetworkMultiserver_new);

}  // namespace movra
