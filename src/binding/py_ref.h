// Owned and borrowed Python references, and the C++ exception for a failed interpreter
// call. Rules of use:
//  - every owned PyObject* lives in a PyRef from the moment it is obtained, so that a
//    CException thrown later releases it while unwinding;
//  - release() hands ownership to the caller (a returned result, a reference stolen by
//    PyTuple_SET_ITEM / PyList_SET_ITEM);
//  - an interpreter call that returns NULL with an error set is turned into PythonError
//    at once (checked()); the call wrapper re-raises that error unchanged.
#pragma once
#include <Python.h>

namespace movra {

// The interpreter's error indicator is set; nothing more to say.
struct PythonError {};

inline PyObject* checked(PyObject* o) {
    if (o == nullptr) throw PythonError();
    return o;
}

class PyRef {
public:
    explicit PyRef(PyObject* owned = nullptr) : p_(owned) {}
    ~PyRef() { Py_XDECREF(p_); }
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    // A new owned reference to a borrowed object.
    static PyRef newReferenceTo(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_;
};

}  // namespace movra
