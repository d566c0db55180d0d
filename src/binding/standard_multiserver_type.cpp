// The Python type of StandardMultiserver: the construction wrapper, the method, member
// and get-set tables and the type object. Every entry runs through the call protocol.
#include <cstddef>

#include "../pmf/pmf_query.h"
#include "convert.h"
#include "protocol.h"
#include "type_object.h"

namespace movra {

namespace {
using SM = StandardMultiserver;
using protocol::arg;

PyObject* StandardMultiserver_init_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, [](SM* s, PyObject*) { s->init(); });
}

PyObject* StandardMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return protocol::construct<SM>(type, args, StandardMultiserver_init_Py);
}

PyObject* StandardMultiserver_step_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, [](SM* s, PyObject*) { s->step(); });
}

PyObject* StandardMultiserver_applyObservationRange_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 2, [](SM* s, PyObject* a) {
        Int start = Int_fromPy(s->arena(), arg(a, 0));
        Int end = Int_fromPy(s->arena(), arg(a, 1));
        s->applyObservationRange(start, end);
    });
}

PyObject* StandardMultiserver_applyObservationValue_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 1, [](SM* s, PyObject* a) {
        s->applyObservationValue(Int_fromPy(s->arena(), arg(a, 0)));
    });
}

PyObject* StandardMultiserver_mark_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, [](SM* s, PyObject*) { s->mark(); });
}

PyObject* StandardMultiserver_restore_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, [](SM* s, PyObject*) { s->restore(); });
}

PyObject* StandardMultiserver_getNumberOfEntitiesInSystemPmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SM>(self, args, 0, [](SM* s, PyObject*) {
        return Pmf_toPy(s->arena(), s->getNumberOfEntitiesInSystemPmf());
    });
}

PyObject* StandardMultiserver_resetWithNumberOfEntitiesInSystem_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 1, [](SM* s, PyObject* a) {
        s->resetWithNumberOfEntitiesInSystem(Int_fromPy(s->arena(), arg(a, 0)));
    });
}

// Get-set attributes: each PMF field with the shape check its setter applies.
template <Pmf* SM::*field>
PyObject* getPmf(PyObject* self, void*) {
    return protocol::get<SM>(self, [](SM* s) { return Pmf_toPy(s->arena(), s->*field); });
}

template <Pmf* SM::*field, bool joint>
int setPmf(PyObject* self, PyObject* value, void*) {
    return protocol::set<SM>(self, value, [](SM* s, PyObject* v) {
        Pmf* pmf = Pmf_fromPy(s->arena(), v, joint ? 2 : 1);
        if (joint)
            confirmJointPmf(pmf, 2);
        else
            confirmSimplePmf(pmf);
        s->*field = pmf;
    });
}

PyMethodDef StandardMultiserver_methods[] = {
    {"step", StandardMultiserver_step_Py, METH_VARARGS, nullptr},
    {"apply_observation_range", StandardMultiserver_applyObservationRange_Py, METH_VARARGS, nullptr},
    {"apply_observation_value", StandardMultiserver_applyObservationValue_Py, METH_VARARGS, nullptr},
    {"mark", StandardMultiserver_mark_Py, METH_VARARGS, nullptr},
    {"restore", StandardMultiserver_restore_Py, METH_VARARGS, nullptr},
    {"get_number_of_entities_in_system_pmf", StandardMultiserver_getNumberOfEntitiesInSystemPmf_Py,
     METH_VARARGS, nullptr},
    {"reset_with_number_of_entities_in_system", StandardMultiserver_resetWithNumberOfEntitiesInSystem_Py,
     METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef StandardMultiserver_members[] = {
    {"number_of_servers", MOVRA_T_INT, MOVRA_MODEL_OFFSET(SM, _numberOfServers), 0, nullptr},
    {"time", MOVRA_T_INT, MOVRA_MODEL_OFFSET(SM, _time), 0, nullptr},
    {"current_memory_use", MOVRA_T_ULONGLONG, MOVRA_MODEL_OFFSET(SM, header.currentMemoryUse),
     MOVRA_READONLY, nullptr},
    {"peak_memory_use", MOVRA_T_ULONGLONG, MOVRA_MODEL_OFFSET(SM, header.peakMemoryUse), MOVRA_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef StandardMultiserver_getset[] = {
    {"number_of_arrivals_pmf", getPmf<&SM::_numberOfArrivalsPmf>, setPmf<&SM::_numberOfArrivalsPmf, false>,
     nullptr, nullptr},
    {"service_duration_pmf", getPmf<&SM::_serviceDurationPmf>, setPmf<&SM::_serviceDurationPmf, false>,
     nullptr, nullptr},
    {"internal_state", getPmf<&SM::_internalState>, setPmf<&SM::_internalState, true>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

PyTypeObject StandardMultiserverType =
    modelType("movra.StandardMultiserver", sizeof(StandardMultiserverObject), dealloc<SM>,
              StandardMultiserver_methods, StandardMultiserver_members, StandardMultiserver_getset,
              StandardMultiserver_new);

}  // namespace movra
