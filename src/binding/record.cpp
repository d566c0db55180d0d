// movra._marginal_record, a private helper of movra.run: the marginal PMF of the number in
// system (per node for a network) as (offset, the stored probabilities as raw doubles),
// so that recording a step costs little next to the step. Runs through the call protocol
// like every method; nothing is allocated in the arena.
#include <Python.h>
#include <cstring>

#include "model_objects.h"
#include "protocol.h"

namespace movra {

namespace {

// (offset, bytes): element k of the bytes is the probability of offset + k.
PyObject* simpleRecord(Pmf* pmf) {
    const Int n = pmf->simple.length;
    PyRef bytes(
        checked(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n) * Py_ssize_t(sizeof(Real)))));
    if (n > 0)
        std::memcpy(PyBytes_AS_STRING(bytes.get()), &pmf->simple.elements[0],
                    size_t(n) * sizeof(Real));
    PyRef offset(checked(PyLong_FromLong(long(pmf->simple.offset))));
    PyObject* pair = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(pair, 0, offset.release());
    PyTuple_SET_ITEM(pair, 1, bytes.release());
    return pair;
}

}  // namespace

PyObject* marginalRecord_Py(PyObject*, PyObject* model) {
    PyRef noArguments(PyTuple_New(0));
    if (!noArguments.get()) return nullptr;
    if (PyObject_TypeCheck(model, &StandardMultiserverType)) {
        return protocol::callValue<StandardMultiserver>(
            model, noArguments.get(), 0, [](StandardMultiserver* s, PyObject*) {
                return simpleRecord(s->getNumberOfEntitiesInSystemPmf());
            });
    }
    if (PyObject_TypeCheck(model, &StandardNetworkMultiserverType)) {
        return protocol::callValue<StandardNetworkMultiserver>(
            model, noArguments.get(), 0, [](StandardNetworkMultiserver* s, PyObject*) {
                const Int nodes = s->getNumberOfNodes();
                PyRef records(checked(PyTuple_New(nodes)));
                for (Int k = 0; k < nodes; k++)
                    PyTuple_SET_ITEM(records.get(), k,
                                     simpleRecord(s->getNumberOfEntitiesAtNodePmf(k)));
                return records.release();
            });
    }
    PyErr_SetString(PyExc_TypeError, "_marginal_record() takes a model of movra");
    return nullptr;
}

}  // namespace movra
