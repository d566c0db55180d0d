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
inline PyObject* constructorArguments(PyObject* type, ExactMultiserver*) {
    return Py_BuildValue("(O)", type);
}
inline PyObject* constructorArguments(PyObject* type, StandardNetworkMultiserver* model) {
    return Py_BuildValue("(Oi)", type, int(model->getNumberOfNodes()));
}

inline PyObject* constructorArguments(PyObject* type, ExactNetworkMultiserver* model) {
    return Py_BuildValue("(Oi)", type, int(model->getNumberOfNodes()));
}

template <class Model>
PyObject* reduce(PyObject* self, PyObject*) {
    // Before the busy flag: a subclass's __getstate__ may well read the model.
    PyRef pythonState(PyObject_CallMethod(self, "__getstate__", nullptr));
    if (pythonState.get() == nullptr) return nullptr;
    PyRef model, arguments;
    bool ok = run<Model>(self, [&](Model* m) {
        model = PyRef(PickledForm<Model>::write(m));
        arguments =
            PyRef(checked(constructorArguments(reinterpret_cast<PyObject*>(Py_TYPE(self)), m)));
    });
    if (!ok) return nullptr;
    PyRef copyreg(PyImport_ImportModule("copyreg"));
    if (copyreg.get() == nullptr) return nullptr;
    PyRef newObject(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    if (newObject.get() == nullptr) return nullptr;
    return Py_BuildValue("(OO(lOO))", newObject.get(), arguments.get(),
                         pickleFormat(static_cast<Model*>(nullptr)), model.get(),
                         pythonState.get());
}

// The parts of a state tuple (borrowed) and its format, one this release reads
// (1 .. current), or false with movra.error set.
inline bool unpackState(PyObject* state, long current, long* format, PyObject** model,
                        PyObject** pythonState) {
    bool ok = PyTuple_CheckExact(state) && PyTuple_GET_SIZE(state) == 3;
    if (ok) {
        PyObject* version = PyTuple_GET_ITEM(state, 0);
        *model = PyTuple_GET_ITEM(state, 1);
        *pythonState = PyTuple_GET_ITEM(state, 2);
        int overflow = 0;
        ok = PyLong_CheckExact(version);
        if (ok) *format = PyLong_AsLongAndOverflow(version, &overflow);
        ok = ok && overflow == 0 && *format >= 1 && *format <= current;
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

// What pickle does with a state when there is no __setstate__ (the dict into __dict__, the
// slots by setattr), all or nothing: what was there before is taken first, and brought
// back if any part fails, with that failure's error raised.
class PythonStateUpdate {
public:
    PythonStateUpdate(PyObject* self, PyObject* pythonState) : self_(self) {
        dict_ = pythonState;
        slots_ = Py_None;
        if (PyTuple_CheckExact(pythonState)) {
            dict_ = PyTuple_GET_ITEM(pythonState, 0);
            slots_ = PyTuple_GET_ITEM(pythonState, 1);
        }
    }

    // False with the Python error set, the attributes as they were.
    bool apply() {
        if (dict_ != Py_None && PyDict_GET_SIZE(dict_) > 0) {
            own_ = PyRef(PyObject_GetAttrString(self_, "__dict__"));
            if (own_.get() == nullptr) return false;
            saved_ = PyRef(PyDict_Check(own_.get()) ? PyDict_Copy(own_.get()) : nullptr);
            if (saved_.get() == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetString(PException, msg::InvalidValue);
                return false;
            }
        }
        if (slots_ != Py_None) {
            // A copy of the items: setattr may run code that changes the dict.
            items_ = PyRef(PyDict_Items(slots_));
            if (items_.get() == nullptr) return false;
            const Py_ssize_t n = PyList_GET_SIZE(items_.get());
            old_ = PyRef(PyList_New(n));  // the value before, or null where there was none
            if (old_.get() == nullptr) return false;
            for (Py_ssize_t i = 0; i < n; i++) {
                PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(items_.get(), i), 0);
                PyObject* before = PyObject_GetAttr(self_, name);
                if (before == nullptr) {
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
                    PyErr_Clear();
                }
                PyList_SET_ITEM(old_.get(), i, before);
            }
        }
        if (own_.get() != nullptr && PyDict_Update(own_.get(), dict_) < 0) return undo(0);
        if (items_.get() != nullptr)
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items_.get()); i++) {
                PyObject* item = PyList_GET_ITEM(items_.get(), i);
                if (PyObject_SetAttr(self_, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) <
                    0)
                    return undo(i + 1);  // the failed one may have been set part-way
            }
        return true;
    }

private:
    // Brings back the dict and the first `slots` slot values; keeps the error raised.
    bool undo(Py_ssize_t slots) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        for (Py_ssize_t i = slots - 1; i >= 0; i--) {
            PyObject* name = PyTuple_GET_ITEM(PyList_GET_ITEM(items_.get(), i), 0);
            PyObject* before = PyList_GET_ITEM(old_.get(), i);
            if (PyObject_SetAttr(self_, name, before) < 0) PyErr_Clear();  // null deletes
        }
        if (own_.get() != nullptr) {
            PyDict_Clear(own_.get());
            if (PyDict_Update(own_.get(), saved_.get()) < 0) PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
        return false;
    }

    PyObject* self_;
    PyObject* dict_;
    PyObject* slots_;
    PyRef own_, saved_, items_, old_;
};

// The model and the Python attributes are replaced together or not at all: the model's
// new fields are read and checked first, the attributes set next, and the model's fields
// stored only when both have succeeded. The attributes are set while the instance is
// busy, so code they run cannot reach the model half-way.
template <class Model>
PyObject* setstate(PyObject* self, PyObject* state) {
    PyObject *model, *pythonState;
    long format = 0;
    if (!unpackState(state, pickleFormat(static_cast<Model*>(nullptr)), &format, &model,
                     &pythonState))
        return nullptr;
    PythonStateUpdate update(self, pythonState);
    bool ok = run<Model>(self, [&](Model* m) {
        PickledForm<Model>::read(m, model, format, [&] {
            if (!update.apply()) throw PythonError();
        });
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// The method-table entries of the copy protocols, the same for every model.
template <class Model>
inline PyMethodDef kCopyMethods[] = {
    {"__reduce__", reduce<Model>, METH_NOARGS, kReduceDoc},
    {"__setstate__", setstate<Model>, METH_O, kSetstateDoc},
};

}  // namespace protocol

}  // namespace movra
