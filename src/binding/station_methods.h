// The Python entries that StandardMultiserver and ExactMultiserver share word for word:
// the same argument counts, conversions and operations, written once for either model,
// and the table entries whose documentation is the same too. step, mark and restore,
// which take no argument, serve the networks as well.
#pragma once
#include "convert.h"
#include "protocol.h"

namespace movra {
namespace station_methods {

// What construction runs once the instance is made: a station takes no argument.
template <class M>
PyObject* init(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 0, [](M* s, PyObject*) { s->init(); });
}

// Whether a model's next step is quick enough to keep the interpreter's lock: a model
// that can tell has quickStep().
template <class M>
auto quickStep(M* s, int) -> decltype(s->quickStep()) {
    return s->quickStep();
}
template <class M>
bool quickStep(M*, long) {
    return false;
}

template <class M>
PyObject* step(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 0, [](M* s, PyObject*) {
        protocol::compute(s, [s] { s->step(); }, quickStep(s, 0));
    });
}

template <class M>
PyObject* applyObservationRange(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 2, [](M* s, PyObject* a) {
        Int start = Int_fromPy(s->arena(), protocol::arg(a, 0));
        Int end = Int_fromPy(s->arena(), protocol::arg(a, 1));
        protocol::compute(s, [=] { s->applyObservationRange(start, end); });
    });
}

template <class M>
PyObject* applyObservationValue(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 1, [](M* s, PyObject* a) {
        Int value = Int_fromPy(s->arena(), protocol::arg(a, 0));
        protocol::compute(s, [=] { s->applyObservationValue(value); });
    });
}

template <class M>
PyObject* mark(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 0, [](M* s, PyObject*) { s->mark(); });
}

template <class M>
PyObject* restore(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 0, [](M* s, PyObject*) { s->restore(); });
}

template <class M>
PyObject* getNumberOfEntitiesInSystemPmf(PyObject* self, PyObject* args) {
    return protocol::callValue<M>(self, args, 0, [](M* s, PyObject*) {
        return Pmf_toPy(s->arena(), s->getNumberOfEntitiesInSystemPmf());
    });
}

template <class M>
PyObject* resetWithNumberOfEntitiesInSystem(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 1, [](M* s, PyObject* a) {
        Int n = Int_fromPy(s->arena(), protocol::arg(a, 0));
        protocol::compute(s, [=] { s->resetWithNumberOfEntitiesInSystem(n); });
    });
}

// ---- documentation and method-table entries both types give alike --------------------

constexpr const char* kApplyObservationRangeDoc =
    "apply_observation_range($self, start, end, /)\n--\n\n"
    "Condition the state on start <= z < end (end excluded).\n\n"
    "Raises movra.error 'Empty pmf' if no z of positive probability is in the range.";

constexpr const char* kApplyObservationValueDoc =
    "apply_observation_value($self, value, /)\n--\n\n"
    "Condition the state on z == value (an exact head count).\n\n"
    "Raises movra.error 'Empty pmf' if that z has probability 0.";

constexpr const char* kGetNumberOfEntitiesInSystemPmfDoc =
    "get_number_of_entities_in_system_pmf($self, /)\n--\n\n"
    "Return the PMF of z, the number at the station, as {z: probability}.";

// step, mark and restore: every model has them, each with its own documentation.
template <class M, const char* StepDoc, const char* MarkDoc, const char* RestoreDoc>
inline PyMethodDef kLifecycleMethods[] = {
    {"step", step<M>, METH_VARARGS, StepDoc},
    {"mark", mark<M>, METH_VARARGS, MarkDoc},
    {"restore", restore<M>, METH_VARARGS, RestoreDoc},
};

template <class M>
inline PyMethodDef kObservationMethods[] = {
    {"apply_observation_range", applyObservationRange<M>, METH_VARARGS, kApplyObservationRangeDoc},
    {"apply_observation_value", applyObservationValue<M>, METH_VARARGS, kApplyObservationValueDoc},
    {"get_number_of_entities_in_system_pmf", getNumberOfEntitiesInSystemPmf<M>, METH_VARARGS,
     kGetNumberOfEntitiesInSystemPmfDoc},
};

}  // namespace station_methods
}  // namespace movra
