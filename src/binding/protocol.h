// The one protocol every Python entry point of both types follows: count check, argument
// conversion, the model operation, result conversion before the sweep, the sweep when the
// call allocated, and failures turned into movra.error with the catalogue message
// unchanged. C++ exceptions never cross into the interpreter: CException becomes
// movra.error, PythonError leaves the interpreter's own error in place, a failed heap
// allocation of the C++ runtime becomes "Out of memory" and any other exception
// "MOVRA internal error".
//
// One call at a time per instance: every entry point first takes the instance's busy flag
// and refuses with RuntimeError when another call holds it. The long computations (steps,
// observations, resets and the sweep after them) run without the interpreter's lock, so
// other threads run meanwhile; they touch no Python object.
#pragma once
#include <Python.h>
#include <new>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/object.h"
#include "model_objects.h"
#include "py_ref.h"
#include "type_object.h"

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

// The busy flag of one call: taken on construction (or the call is refused, with the
// Python error set), given back on destruction. It also holds a reference to the
// instance, so the instance cannot be deallocated while a call into it runs.
template <class Model>
class Busy {
public:
    explicit Busy(PyObject* self) : self_(self) {
        if (objectOf().busy.exchange(true, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError, "movra instance is in use by another call");
            self_ = nullptr;
            return;
        }
        Py_INCREF(self_);
    }
    ~Busy() {
        if (self_ == nullptr) return;
        objectOf().busy.store(false, std::memory_order_release);
        Py_DECREF(self_);
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    explicit operator bool() const { return self_ != nullptr; }

private:
    ModelObject<Model>& objectOf() { return *reinterpret_cast<ModelObject<Model>*>(self_); }
    PyObject* self_;
};

// Runs work without the interpreter's lock (or with it, where release is false). Work
// must not touch any Python object; a failure in it is raised again, as the same
// catalogue message, once the lock is back (anything unexpected as an internal error).
template <class Work>
void withoutInterpreterLock(Work&& work, bool release = true) {
    const char* failure = nullptr;
    PyThreadState* saved = release ? PyEval_SaveThread() : nullptr;
    try {
        work();
    } catch (const CException& e) {
        failure = e.message;
    } catch (const std::bad_alloc&) {
        failure = msg::OutOfMemory;
    } catch (...) {
        failure = msg::Internal;
    }
    if (saved != nullptr) PyEval_RestoreThread(saved);
    if (failure != nullptr) fail(failure);
}

// A model operation and the sweep after it, without the interpreter's lock unless the
// model says the operation is quick (holdLock). Arguments are converted before, results
// after, both with the lock.
template <class Model, class Operation>
void compute(Model* model, Operation&& operation, bool holdLock = false) {
    withoutInterpreterLock(
        [&] {
            operation();
            if (model->arena()->isMemModified) Model::memRelease(model->arena());
        },
        !holdLock);
}

inline void checkCount(PyObject* args, Py_ssize_t expected, const char* const* messages) {
    if (PyTuple_GET_SIZE(args) != expected) fail(messages[expected]);
}

template <class Model>
MovraObject* arenaOf(PyObject* self) {
    return modelOf<Model>(self)->arena();
}

inline PyObject* arg(PyObject* args, Py_ssize_t i) { return PyTuple_GET_ITEM(args, i); }

// Any other entry point (the copy protocols): body runs with the busy flag taken, then the
// sweep if it allocated; false with the Python error set on failure.
template <class Model, class Body>
bool run(PyObject* self, Body&& body) {
    Busy<Model> busy(self);
    if (!busy) return false;
    MovraObject* obj = arenaOf<Model>(self);
    return guarded(obj, Model::memRelease, [&] {
        body(modelOf<Model>(self));
        if (obj->isMemModified) Model::memRelease(obj);
    });
}

// A method (or construction wrapper) returning None. body(obj, args) converts the
// arguments in order and runs the operation.
template <class Model, class Body>
PyObject* callNone(PyObject* self, PyObject* args, Py_ssize_t expected, Body&& body) {
    Busy<Model> busy(self);
    if (!busy) return nullptr;
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
    Busy<Model> busy(self);
    if (!busy) return nullptr;
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
    Busy<Model> busy(self);
    if (!busy) return nullptr;
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
    Busy<Model> busy(self);
    if (!busy) return -1;
    MovraObject* obj = arenaOf<Model>(self);
    bool ok = guarded(obj, Model::memRelease, [&] {
        body(modelOf<Model>(self), value);
        if (obj->isMemModified) Model::memRelease(obj);
    });
    return ok ? 0 : -1;
}

// A plain field published like a member (the interpreter's own conversions and messages),
// but through a get-set pair so that it too waits for no running call: closure is the
// field's PyMemberDef.
template <class Model>
PyObject* getMember(PyObject* self, void* closure) {
    Busy<Model> busy(self);
    if (!busy) return nullptr;
    return PyMember_GetOne(reinterpret_cast<const char*>(self), static_cast<PyMemberDef*>(closure));
}

// The interpreter converts into a copy of the field, which is stored only once the whole
// conversion has succeeded: its truncation warning comes after it writes, and a warning
// turned into an error must not leave the truncated value behind. Only Int fields are
// settable.
template <class Model>
int setMember(PyObject* self, PyObject* value, void* closure) {
    Busy<Model> busy(self);
    if (!busy) return -1;
    const PyMemberDef* member = static_cast<PyMemberDef*>(closure);
    if (member->type != MOVRA_T_INT) {
        PyErr_SetString(PException, msg::Internal);
        return -1;
    }
    Int* field = reinterpret_cast<Int*>(reinterpret_cast<char*>(self) + member->offset);
    Int copy = *field;
    PyMemberDef local = *member;
    local.offset = 0;
    if (PyMember_SetOne(reinterpret_cast<char*>(&copy), &local, value) < 0) return -1;
    *field = copy;
    return 0;
}

// Time and the two memory counters (read-only), which every model publishes alike: its
// get-set table ends with kCounterGetSet, each entry's closure its field's PyMemberDef.
template <class Model>
inline PyMemberDef kCounterMembers[] = {
    {"time", MOVRA_T_INT, MOVRA_MODEL_OFFSET(Model, _time), 0, kTimeDoc},
    {"current_memory_use", MOVRA_T_ULONGLONG, MOVRA_MODEL_OFFSET(Model, header.currentMemoryUse),
     MOVRA_READONLY, kCurrentMemoryDoc},
    {"peak_memory_use", MOVRA_T_ULONGLONG, MOVRA_MODEL_OFFSET(Model, header.peakMemoryUse),
     MOVRA_READONLY, kPeakMemoryDoc},
};
template <class Model>
inline PyGetSetDef kCounterGetSet[] = {
    {"time", getMember<Model>, setMember<Model>, kTimeDoc, &kCounterMembers<Model>[0]},
    {"current_memory_use", getMember<Model>, nullptr, kCurrentMemoryDoc,
     &kCounterMembers<Model>[1]},
    {"peak_memory_use", getMember<Model>, nullptr, kPeakMemoryDoc, &kCounterMembers<Model>[2]},
};

// The new slot shared by both types: allocate, set the common header, fill the model's
// defaults, then run the construction wrapper. An instance whose construction failed is
// released at once and never handed to Python.
template <class Model>
PyObject* construct(PyTypeObject* type, PyObject* args,
                    PyObject* (*initWrapper)(PyObject*, PyObject*)) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ModelObject<Model>*>(self)->busy) std::atomic<bool>(false);
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

// The deallocation slot of both types: frees every arena block, then the instance. No call
// is running (a running call holds a reference).
template <class Model>
void dealloc(PyObject* self) {
    // Nothing is marked outside a sweep, so this frees every block.
    release(modelOf<Model>(self)->arena());
    Py_TYPE(self)->tp_free(self);
}

}  // namespace movra
