// The Python entries that StandardMultiserver and ExactMultiserver share word for word:
// the same argument counts, conversions and operations, written once for either model.
// step, mark and restore, which take no argument, serve the networks too.
#pragma once
#include "convert.h"
#include "protocol.h"

namespace movra {
namespace station_methods {

template <class M>
PyObject* step(PyObject* self, PyObject* args) {
    return protocol::callNone<M>(self, args, 0,
                                 [](M* s, PyObject*) { protocol::compute(s, [s] { s->step(); }); });
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

}  // namespace station_methods
}  // namespace movra
