// The one protocol every Python entry point of both types follows: count check, argument
// conversion, the model operation, result conversion before the sweep, the sweep when the
// call allocated, and failures turned into movra.error with the catalogue message
// unchanged. C++ exceptions never cross into the interpreter: CException becomes
// movra.error, PythonError leaves the interpreter's own error in place, a failed heap
// allocation of the C++ runtime becomes "Out of memory" and any other exception
// "MOVRA internal error".
#pragma once
#include <Python.h>

#include <new>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/object.h"
#include "model_objects.h"
#include "py_ref.h"

namespace movra {

// The module's exception class, created at import.
extern PyObject* PException;
// The machine's physical memory in bytes, read at import (0 if unknown): no instance's
// arena may hold more, so an absurd request is refused instead of the process killed.
extern unsigned long long physicalMemory;

using MemRelease = void (*)(MovraObject*);

namespace protocol {

// Runs the failure path shared by every wrapper: sweep if the call allocated, then set the
// Python error (unless the interpreter already set one).
template <class Body>
bool guarded(MovraObject* obj, MemRelease memRelease, Body&& body) {
    const char* message = nullptr;
    try {
        body();
        return true;
    } catch (const CException& e) {
        message = e.message;
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        message = msg::OutOfMemory;
    } catch (...) {
        // Anything else (a container's length_error, an out_of_range) is a fault of
        // ours: reported, never let through to end the process.
        message = msg::Internal;
    }
    if (obj->isMemModified) memRelease(obj);
    if (message != nullptr) PyErr_SetString(PException, message);
    return false;
}

inline void checkCount(PyObject* args, Py_ssize_t expected, const char* const* messages) {
    if (PyTuple_GET_SIZE(args) != expected) fail(messages[expected]);
}

template <class Model>
MovraObject* arenaOf(PyObject* self) {
    return modelOf<Model>(self)->arena();
}

inline PyObject* arg(PyObject* args, Py_ssize_t i) { return PyTuple_GET_ITEM(args, i); }

// A method (or construction wrapper) returning None. body(obj, args) converts the
// arguments in order and runs the operation.
template <class Model, class Body>
PyObject* callNone(PyObject* self, PyObject* args, Py_ssize_t expected, Body&& body) {
    MovraObject* obj = arenaOf<Model>(self);
    bool ok = guarded(obj, Model::memRelease, [&] {
        checkCount(args, expected, msg::ExpectedParameters);
        body(modelOf<Model>(self), args);
        if (obj->isMemModified) Model::memRelease(obj);
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// A method returning a value: body(obj, args) returns the converted result (a new
// reference), made before the sweep because it may be read from arena memory.
template <class Model, class Body>
PyObject* callValue(PyObject* self, PyObject* args, Py_ssize_t expected, Body&& body) {
    MovraObject* obj = arenaOf<Model>(self);
    obj->isMemModified = false;
    PyRef result;
    bool ok = guarded(obj, Model::memRelease, [&] {
        checkCount(args, expected, msg::ExpectedParameterS);
        result = PyRef(body(modelOf<Model>(self), args));
        if (obj->isMemModified) Model::memRelease(obj);
    });
    return ok ? result.release() : nullptr;
}

// Getter of a get-set attribute: converts a stored field; no sweep (nothing allocated).
template <class Model, class Body>
PyObject* get(PyObject* self, Body&& body) {
    MovraObject* obj = arenaOf<Model>(self);
    PyRef result;
    bool ok = guarded(obj, Model::memRelease, [&] { result = PyRef(body(modelOf<Model>(self))); });
    return ok ? result.release() : nullptr;
}

// Setter of a get-set attribute: body converts, validates and stores; the sweep then
// keeps the new value and frees the replaced one unless something else reaches it.
template <class Model, class Body>
int set(PyObject* self, PyObject* value, Body&& body) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete attribute");
        return -1;
    }
    MovraObject* obj = arenaOf<Model>(self);
    bool ok = guarded(obj, Model::memRelease, [&] {
        body(modelOf<Model>(self), value);
        if (obj->isMemModified) Model::memRelease(obj);
    });
    return ok ? 0 : -1;
}

// The new slot shared by both types: allocate, set the common header, fill the model's
// defaults, then run the construction wrapper. An instance whose construction failed is
// released at once and never handed to Python.
template <class Model>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* (*initWrapper)(PyObject*, PyObject*)) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    MovraObject* obj = arenaOf<Model>(self);
    obj->isMemModified = false;
    obj->memList = nullptr;
    obj->functionCount = 0;
    obj->functionPointers = nullptr;
    obj->functionNames = nullptr;
    obj->functionSignatureIndexes = nullptr;
    obj->currentMemoryUse = 0;
    obj->peakMemoryUse = 0;
    obj->memoryLimit = physicalMemory;
    if (!guarded(obj, Model::memRelease, [&] { modelOf<Model>(self)->defaults(); })) {
        Py_DECREF(self);
        return nullptr;
    }
    PyObject* none = initWrapper(self, args);
    if (none == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    Py_DECREF(none);
    return self;
}

}  // namespace protocol

// The deallocation slot of both types: frees every arena block, then the instance.
template <class Model>
void dealloc(PyObject* self) {
    // Nothing is marked outside a sweep, so this frees every block.
    release(modelOf<Model>(self)->arena());
    Py_TYPE(self)->tp_free(self);
}

}  // namespace movra
