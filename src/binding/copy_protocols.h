// __reduce__ and __setstate__ of both types, which pickle (every protocol), copy.copy and
// copy.deepcopy all go through. An instance reduces to
//   (copyreg.__newobj__, (type, *constructor arguments), (format, model, python state))
// where model is the pickled form of pickled_form.h and python state what __getstate__
// gives for a subclass's own attributes (None, its __dict__, or (__dict__, slots)).
// Unpickling makes a fresh instance with type.__new__ and hands it the state.
#pragma once
#include <Python.h>

#include "pickled_form.h"
#include "protocol.h"

namespace movra {

namespace protocol {

constexpr const char* kReduceDoc =
    "__reduce__($self, /)\n--\n\n"
    "Helper for pickle and copy: the whole configuration, the state, time and the\n"
    "saved mark, as plain data with a format version.";
constexpr const char* kSetstateDoc =
    "__setstate__($self, state, /)\n--\n\n"
    "Replace everything with a state made by __reduce__, checked first: a malformed\n"
    "state raises movra.error and leaves the instance as it was.";

inline PyObject* constructorArguments(PyObject* type, StandardMultiserver*) {
    return Py_BuildValue("(O)", type);
}
inline PyObject* constructorArguments(PyObject* type, ExactMultiserver*) { return Py_BuildValue("(O)", type); }
inline PyObject* constructorArguments(PyObject* type, StandardNetworkMultiserver* model) {
    return Py_BuildValue("(Oi)", type, int(model->getNumberOfNodes()));
}

template <class Model>
PyObject* reduce(PyObject* self, PyObject*) {
    // Before the busy flag: a subclass's __getstate__ may well read the model.
    PyRef pythonState(PyObject_CallMethod(self, "__getstate__", nullptr));
    if (pythonState.get() == nullptr) return nullptr;
    PyRef model, arguments;
    bool ok = run<Model>(self, [&](Model* m) {
        model = PyRef(modelState(m));
        arguments = PyRef(checked(constructorArguments(reinterpret_cast<PyObject*>(Py_TYPE(self)), m)));
    });
    if (!ok) return nullptr;
    PyRef copyreg(PyImport_ImportModule("copyreg"));
    if (copyreg.get() == nullptr) return nullptr;
    PyRef newObject(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    if (newObject.get() == nullptr) return nullptr;
    return Py_BuildValue("(OO(lOO))", newObject.get(), arguments.get(), kPickleFormat, model.get(),
                         pythonState.get());
}

// The parts of a state tuple (borrowed), or false with movra.error set.
inline bool unpackState(PyObject* state, PyObject** model, PyObject** pythonState) {
    bool ok = PyTuple_CheckExact(state) && PyTuple_GET_SIZE(state) == 3;
    if (ok) {
        PyObject* format = PyTuple_GET_ITEM(state, 0);
        *model = PyTuple_GET_ITEM(state, 1);
        *pythonState = PyTuple_GET_ITEM(state, 2);
        int overflow = 0;
        ok = PyLong_CheckExact(format) && PyLong_AsLongAndOverflow(format, &overflow) == kPickleFormat &&
             overflow == 0;
        PyObject* p = *pythonState;
        if (PyTuple_CheckExact(p))
            ok = ok && PyTuple_GET_SIZE(p) == 2 &&
                 (PyTuple_GET_ITEM(p, 0) == Py_None || PyDict_Check(PyTuple_GET_ITEM(p, 0))) &&
                 (PyTuple_GET_ITEM(p, 1) == Py_None || PyDict_Check(PyTuple_GET_ITEM(p, 1)));
        else
            ok = ok && (p == Py_None || PyDict_Check(p));
    }
    if (!ok) PyErr_SetString(PException, msg::InvalidValue);
    return ok;
}

// What pickle does with a state when there is no __setstate__: the dict into __dict__,
// the slots by setattr.
inline bool applyPythonState(PyObject* self, PyObject* pythonState) {
    PyObject* dict = pythonState;
    PyObject* slots = Py_None;
    if (PyTuple_CheckExact(pythonState)) {
        dict = PyTuple_GET_ITEM(pythonState, 0);
        slots = PyTuple_GET_ITEM(pythonState, 1);
    }
    if (dict != Py_None && PyDict_GET_SIZE(dict) > 0) {
        PyRef own(PyObject_GetAttrString(self, "__dict__"));
        if (own.get() == nullptr || PyDict_Update(own.get(), dict) < 0) return false;
    }
    if (slots != Py_None) {
        // A copy of the items: setattr may run code that changes the dict.
        PyRef items(PyDict_Items(slots));
        if (items.get() == nullptr) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (PyObject_SetAttr(self, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0)
                return false;
        }
    }
    return true;
}

// The model is replaced whole or not at all; the Python attributes follow it.
template <class Model>
PyObject* setstate(PyObject* self, PyObject* state) {
    PyObject *model, *pythonState;
    if (!unpackState(state, &model, &pythonState)) return nullptr;
    if (!run<Model>(self, [&](Model* m) { setModelState(m, model); })) return nullptr;
    if (!applyPythonState(self, pythonState)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace protocol

}  // namespace movra
