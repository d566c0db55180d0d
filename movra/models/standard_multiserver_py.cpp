// Python face of StandardMultiserver: the construction wrapper, the method, member and
// get-set tables and the type object. Every entry runs through the call protocol.
#include <cstddef>

#include "../binding/convert.h"
#include "../binding/members.h"
#include "../binding/protocol.h"
#include "../pmf/pmf_query.h"
#include "standard_multiserver.h"

namespace {
using SM = StandardMultiserver;
using protocol::arg;
const MemRelease memRelease = _StandardMultiserver_memRelease;
MovraObject* arena(SM* self) { return &self->header; }

PyObject* _StandardMultiserver_init_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, memRelease,
                                  [](SM* s, PyObject*) { _StandardMultiserver_init(s); });
}

PyObject* _StandardMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return protocol::construct<SM>(type, args, memRelease, _StandardMultiserver_defaults,
                                   _StandardMultiserver_init_Py);
}

PyObject* _StandardMultiserver_step_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, memRelease,
                                  [](SM* s, PyObject*) { _StandardMultiserver_step(s); });
}

PyObject* _StandardMultiserver_applyObservationRange_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 2, memRelease, [](SM* s, PyObject* a) {
        Int start = Int_fromPy(arena(s), arg(a, 0));
        Int end = Int_fromPy(arena(s), arg(a, 1));
        _StandardMultiserver_applyObservationRange(s, start, end);
    });
}

PyObject* _StandardMultiserver_applyObservationValue_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 1, memRelease, [](SM* s, PyObject* a) {
        _StandardMultiserver_applyObservationValue(s, Int_fromPy(arena(s), arg(a, 0)));
    });
}

PyObject* _StandardMultiserver_mark_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, memRelease,
                                  [](SM* s, PyObject*) { _StandardMultiserver_mark(s); });
}

PyObject* _StandardMultiserver_restore_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, memRelease,
                                  [](SM* s, PyObject*) { _StandardMultiserver_restore(s); });
}

PyObject* _StandardMultiserver_getNumberOfEntitiesInSystemPmf_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<SM>(self, args, 0, memRelease, [](SM* s, PyObject*) {
        return Pmf_toPy(arena(s), _StandardMultiserver_getNumberOfEntitiesInSystemPmf(s));
    });
}

PyObject* _StandardMultiserver_resetWithNumberOfEntitiesInSystem_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 1, memRelease, [](SM* s, PyObject* a) {
        _StandardMultiserver_resetWithNumberOfEntitiesInSystem(s, Int_fromPy(arena(s), arg(a, 0)));
    });
}

// Get-set attributes: each PMF field with the shape check its setter applies.
template <Pmf* SM::*field>
PyObject* getPmf(PyObject* self, void*) {
    return protocol::get<SM>(self, memRelease, [](SM* s) { return Pmf_toPy(arena(s), s->*field); });
}

template <Pmf* SM::*field, bool joint>
int setPmf(PyObject* self, PyObject* value, void*) {
    return protocol::set<SM>(self, value, memRelease, [](SM* s, PyObject* v) {
        Pmf* pmf = Pmf_fromPy(arena(s), v);
        if (joint)
            confirmJointPmf(pmf, 2);
        else
            confirmSimplePmf(pmf);
        s->*field = pmf;
    });
}

PyMethodDef _StandardMultiserver_methods[] = {
    {"step", _StandardMultiserver_step_Py, METH_VARARGS, nullptr},
    {"apply_observation_range", _StandardMultiserver_applyObservationRange_Py, METH_VARARGS, nullptr},
    {"apply_observation_value", _StandardMultiserver_applyObservationValue_Py, METH_VARARGS, nullptr},
    {"mark", _StandardMultiserver_mark_Py, METH_VARARGS, nullptr},
    {"restore", _StandardMultiserver_restore_Py, METH_VARARGS, nullptr},
    {"get_number_of_entities_in_system_pmf", _StandardMultiserver_getNumberOfEntitiesInSystemPmf_Py,
     METH_VARARGS, nullptr},
    {"reset_with_number_of_entities_in_system",
     _StandardMultiserver_resetWithNumberOfEntitiesInSystem_Py, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef _StandardMultiserver_members[] = {
    {"number_of_servers", MOVRA_T_INT, offsetof(SM, _numberOfServers), 0, nullptr},
    {"time", MOVRA_T_INT, offsetof(SM, _time), 0, nullptr},
    {"current_memory_use", MOVRA_T_ULONGLONG, offsetof(MovraObject, currentMemoryUse), MOVRA_READONLY,
     nullptr},
    {"peak_memory_use", MOVRA_T_ULONGLONG, offsetof(MovraObject, peakMemoryUse), MOVRA_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef _StandardMultiserver_getset[] = {
    {"number_of_arrivals_pmf", getPmf<&SM::_numberOfArrivalsPmf>,
     setPmf<&SM::_numberOfArrivalsPmf, false>, nullptr, nullptr},
    {"service_duration_pmf", getPmf<&SM::_serviceDurationPmf>, setPmf<&SM::_serviceDurationPmf, false>,
     nullptr, nullptr},
    {"internal_state", getPmf<&SM::_internalState>, setPmf<&SM::_internalState, true>, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

PyTypeObject _StandardMultiserver_Type =
    modelType("movra.StandardMultiserver", sizeof(SM), dealloc, _StandardMultiserver_methods, _StandardMultiserver_members,
              _StandardMultiserver_getset, _StandardMultiserver_new);
